// The program's raw resources in the browser: the firmware image and its
// SHA-256 digest recorded when it was embedded, built into the wasm as data.
//
// The build's embedding step (cmake/embed_firmware_image.cmake) checks the
// one image file this variant carries (the product's named image, or the
// stand-in of the demo and the tests), copies it and writes its bytes and
// digest as initialisers. Without an image (ORVANTO_WEB_HAS_IMAGE 0) neither
// exists, and Update refuses before anything is sent.
#include "platform/resources.h"
#include "res/resource.h"

#if ORVANTO_WEB_HAS_IMAGE
namespace {

const std::uint8_t FIRMWARE_IMAGE[] = {
#include "firmware_image.inc"
};

const std::uint8_t FIRMWARE_IMAGE_DIGEST[] = {
#include "firmware_digest.inc"
};

}  // namespace
#endif

RawResource LoadRawResource(std::uint32_t id) {
#if ORVANTO_WEB_HAS_IMAGE
    if (id == IDR_FIRMWARE) {
        return RawResource{FIRMWARE_IMAGE, sizeof(FIRMWARE_IMAGE)};
    }
    if (id == IDR_FIRMWARE_DIGEST) {
        return RawResource{FIRMWARE_IMAGE_DIGEST, sizeof(FIRMWARE_IMAGE_DIGEST)};
    }
#else
    (void)id;
#endif
    return RawResource{nullptr, 0};
}
