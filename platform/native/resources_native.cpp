// Raw resources of the native build: the firmware image linked into the
// program and its digest, recorded when it was embedded. Tests may put
// others in their place.
#include "platform/native/native_resources.h"
#include "platform/resources.h"
#include "res/resource.h"

namespace {

const std::uint8_t LINKED_IMAGE[] = {
#include "demo/firmware_image.inc"
};

const std::uint8_t LINKED_DIGEST[] = {
#include "demo/firmware_digest.inc"
};

RawResource& FirmwareResource() {
    static RawResource resource{LINKED_IMAGE, sizeof(LINKED_IMAGE)};
    return resource;
}

RawResource& DigestResource() {
    static RawResource resource{LINKED_DIGEST, sizeof(LINKED_DIGEST)};
    return resource;
}

}  // namespace

void SetNativeFirmwareImage(const std::uint8_t* data, std::uint32_t size) {
    FirmwareResource() = RawResource{data, size};
    DigestResource() = RawResource{nullptr, 0};
}

void SetNativeFirmwareDigest(const std::uint8_t* digest) {
    DigestResource() = RawResource{digest, digest != nullptr ? 32u : 0u};
}

void UseLinkedFirmwareImage() {
    FirmwareResource() = RawResource{LINKED_IMAGE, sizeof(LINKED_IMAGE)};
    DigestResource() = RawResource{LINKED_DIGEST, sizeof(LINKED_DIGEST)};
}

RawResource LoadRawResource(std::uint32_t id) {
    switch (id) {
    case IDR_FIRMWARE:
        return FirmwareResource();
    case IDR_FIRMWARE_DIGEST:
        return DigestResource();
    default:
        return RawResource{nullptr, 0};
    }
}
