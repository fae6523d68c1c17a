// The firmware image that the updater carries and writes into the ESC.
#pragma once

#include <cstdint>

// The firmware version of the image: the version that the updater installs
// and records after an update, and that its window title names.
constexpr std::uint16_t NEW_FIRMWARE_VERSION = 0x0300;

struct FirmwareImage {
    const std::uint8_t* data;  // first byte, read-only; null when there is none
    std::uint32_t size;        // in bytes
};

// The embedded image, where the resource loader maps it; never copied.
FirmwareImage LocateFirmwareImage();

// An image can be written when it exists, is not empty and its size is a
// multiple of 16 bytes, so that every block carries whole 32-bit words and
// nothing of it is lost or filled up as firmware.
bool IsWritableImage(const FirmwareImage& image);

// Whether the image's SHA-256 digest equals the one recorded when it was
// embedded. A damaged executable (a bad download or disk) must not have its
// damaged image written into an ESC; an image without a recorded digest is
// not taken either.
bool ImageMatchesRecordedDigest(const FirmwareImage& image);
