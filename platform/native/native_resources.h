// The native build's firmware image, replaceable by tests.
#pragma once

#include <cstdint>

// Makes `data` (null for none) the image resource until the next call.
void SetNativeFirmwareImage(const std::uint8_t* data, std::uint32_t size);

// Back to the image linked into the program.
void UseLinkedFirmwareImage();
