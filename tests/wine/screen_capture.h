// What is on screen of a window, and a BMP file of it: the screenshots of the
// demo's tour and of the end-to-end tests, and the pixels that the tests
// look at.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// A window's pixels, top row first.
struct WindowCapture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgra;  // 4 bytes a pixel: blue, green, red, unused

    // The pixel at (x, y) of the window's rectangle, as a COLORREF.
    COLORREF At(int x, int y) const {
        const std::uint8_t* pixel = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
        return RGB(pixel[2], pixel[1], pixel[0]);
    }
};

// Reads what is on screen of `window` (false when it has no area).
bool CaptureWindow(HWND window, WindowCapture& capture);

// Writes `capture` to `path` as a 24-bit BMP file.
void SaveBmp(const std::wstring& path, const WindowCapture& capture);
