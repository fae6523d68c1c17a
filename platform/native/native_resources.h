// The native build's firmware image and its recorded digest, replaceable by
// tests.
#pragma once

#include <cstdint>

// Makes `data` (null for none) the image resource until the next call. The
// recorded digest is then none, until SetNativeFirmwareDigest gives one.
void SetNativeFirmwareImage(const std::uint8_t* data, std::uint32_t size);

// Makes the 32 bytes at `digest` (null for none) the recorded digest.
void SetNativeFirmwareDigest(const std::uint8_t* digest);

// Back to the image linked into the program and its digest.
void UseLinkedFirmwareImage();
