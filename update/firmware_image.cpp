#include "update/firmware_image.h"

#include <algorithm>

#include "platform/resources.h"
#include "res/resource.h"
#include "update/sha256.h"

// The firmware version that the build wrote into versions.txt for the
// release note (CMakeLists.txt) is the one the program installs.
static_assert(NEW_FIRMWARE_VERSION == ORVANTO_NOTED_FIRMWARE_VERSION,
              "versions.txt names another firmware version than NEW_FIRMWARE_VERSION");

FirmwareImage LocateFirmwareImage() {
    const RawResource resource = LoadRawResource(IDR_FIRMWARE);
    return FirmwareImage{resource.data, resource.data != nullptr ? resource.size : 0};
}

bool IsWritableImage(const FirmwareImage& image) {
    return image.data != nullptr && image.size != 0 && image.size % 16 == 0;
}

bool ImageMatchesRecordedDigest(const FirmwareImage& image) {
    const RawResource recorded = LoadRawResource(IDR_FIRMWARE_DIGEST);
    if (image.data == nullptr || recorded.data == nullptr || recorded.size != Sha256Digest().size()) {
        return false;
    }
    const Sha256Digest digest = Sha256(image.data, image.size);
    return std::equal(digest.begin(), digest.end(), recorded.data);
}
