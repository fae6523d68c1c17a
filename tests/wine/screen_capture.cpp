// Reading a window's pixels from the screen, and writing them as a BMP file.
#include "tests/wine/screen_capture.h"

#include <fstream>

bool CaptureWindow(HWND window, WindowCapture& capture) {
    RECT rect{};
    if (window == nullptr || !GetWindowRect(window, &rect)) {
        return false;
    }
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, previous);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    capture.width = width;
    capture.height = height;
    capture.bgra.assign(static_cast<std::size_t>(width) * height * 4, 0);
    const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), capture.bgra.data(),
                               &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return rows == height;
}

// A 24-bit BMP is stored bottom-up, each row padded to 4 bytes.
void SaveBmp(const std::wstring& path, const WindowCapture& capture) {
    const std::uint32_t rowSize = (static_cast<std::uint32_t>(capture.width) * 3 + 3) & ~3u;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + rowSize * static_cast<std::uint32_t>(capture.height);
    info.biSize = sizeof(info);
    info.biWidth = capture.width;
    info.biHeight = capture.height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    std::vector<std::uint8_t> rows(rowSize * static_cast<std::uint32_t>(capture.height), 0);
    for (int y = 0; y < capture.height; ++y) {
        std::uint8_t* row = &rows[rowSize * static_cast<std::uint32_t>(capture.height - 1 - y)];
        for (int x = 0; x < capture.width; ++x) {
            const std::uint8_t* pixel =
                &capture.bgra[(static_cast<std::size_t>(y) * capture.width + x) * 4];
            row[x * 3] = pixel[0];
            row[x * 3 + 1] = pixel[1];
            row[x * 3 + 2] = pixel[2];
        }
    }
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof(file));
    out.write(reinterpret_cast<const char*>(&info), sizeof(info));
    out.write(reinterpret_cast<const char*>(rows.data()),
              static_cast<std::streamsize>(rows.size()));
}
