#include "update/firmware_image.h"

#include "platform/resources.h"
#include "res/resource.h"

FirmwareImage LocateFirmwareImage() {
    const RawResource resource = LoadRawResource(IDR_FIRMWARE);
    return FirmwareImage{resource.data, resource.data != nullptr ? resource.size : 0};
}

bool IsWritableImage(const FirmwareImage& image) {
    return image.data != nullptr && image.size != 0 && image.size % 16 == 0;
}
