// Raw resources of the native build: the firmware image linked into the
// program. Tests may put another image in its place.
#include "platform/native/native_resources.h"
#include "platform/resources.h"
#include "res/resource.h"

namespace {

const std::uint8_t LINKED_IMAGE[] = {
#include "standin_image.inc"
};

RawResource& FirmwareResource() {
    static RawResource resource{LINKED_IMAGE, sizeof(LINKED_IMAGE)};
    return resource;
}

}  // namespace

void SetNativeFirmwareImage(const std::uint8_t* data, std::uint32_t size) {
    FirmwareResource() = RawResource{data, size};
}

void UseLinkedFirmwareImage() {
    FirmwareResource() = RawResource{LINKED_IMAGE, sizeof(LINKED_IMAGE)};
}

RawResource LoadRawResource(std::uint32_t id) {
    if (id != IDR_FIRMWARE) {
        return RawResource{nullptr, 0};
    }
    return FirmwareResource();
}
