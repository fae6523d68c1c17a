// The program's raw resources in the browser: the firmware image and its
// recorded SHA-256 digest, built into the wasm as data.
//
// The build makes firmware_image.inc from the one image file this variant
// carries (the product's named image, checked like the Windows build's, or
// the stand-in of the demo and the tests), with the digest computed from the
// same file. Without an image (ORVANTO_WEB_HAS_IMAGE 0) neither exists, and
// Update refuses before anything is sent.
#include "platform/resources.h"
#include "res/resource.h"

#if ORVANTO_WEB_HAS_IMAGE
#include "firmware_image.inc"
#endif

RawResource LoadRawResource(std::uint32_t id) {
#if ORVANTO_WEB_HAS_IMAGE
    if (id == IDR_FIRMWARE) {
        return RawResource{FIRMWARE_IMAGE, sizeof(FIRMWARE_IMAGE)};
    }
#ifdef IDR_FIRMWARE_DIGEST
    if (id == IDR_FIRMWARE_DIGEST) {
        return RawResource{FIRMWARE_IMAGE_DIGEST, sizeof(FIRMWARE_IMAGE_DIGEST)};
    }
#endif
#else
    (void)id;
#endif
    return RawResource{nullptr, 0};
}
