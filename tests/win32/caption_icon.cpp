// Windows and Wine hand out another process's icon handle but not its bitmaps, so the check reads
// the screen: the icon's own small image, rendered here from the program file, must appear in the
// caption's left part. The program's large image shrunk differs from it in some pixels.
#include "tests/win32/caption_icon.h"

#include <vector>

namespace {

// 32-bit pixels (0x00RRGGBB) of a bitmap, top row first.
std::vector<DWORD> Pixels(HDC hdc, HBITMAP hBitmap, int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> pixels(static_cast<size_t>(width) * height);
    GetDIBits(hdc, hBitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    for (DWORD& p : pixels)
        p &= 0xFFFFFF;
    return pixels;
}

} // namespace

bool CaptionShowsSmallIcon(HWND hDlg, const char* exe, int id, std::string* pWhat) {
    const int size = GetSystemMetrics(SM_CXSMICON);
    HMODULE hFile = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HICON hIcon = hFile
                      ? static_cast<HICON>(LoadImageA(hFile, MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0))
                      : nullptr;
    ICONINFO icon{};
    if (!hIcon || !GetIconInfo(hIcon, &icon) || !icon.hbmColor) {
        *pWhat = "the program's small icon image could not be read";
        return false;
    }
    HDC hScreen = GetDC(nullptr);
    const std::vector<DWORD> image = Pixels(hScreen, icon.hbmColor, size, size);
    const std::vector<DWORD> mask = Pixels(hScreen, icon.hbmMask, size, size); // black where opaque
    DeleteObject(icon.hbmColor);
    DeleteObject(icon.hbmMask);
    DestroyIcon(hIcon);
    FreeLibrary(hFile);

    // The caption's left part, frame included.
    RECT outer{};
    GetWindowRect(hDlg, &outer);
    const int width = 3 * size, height = GetSystemMetrics(SM_CYCAPTION) + 2 * GetSystemMetrics(SM_CYFRAME);
    HDC hMemory = CreateCompatibleDC(hScreen);
    HBITMAP hShot = CreateCompatibleBitmap(hScreen, width, height);
    HGDIOBJ hOld = SelectObject(hMemory, hShot);
    BitBlt(hMemory, 0, 0, width, height, hScreen, outer.left, outer.top, SRCCOPY);
    SelectObject(hMemory, hOld);
    const std::vector<DWORD> shot = Pixels(hMemory, hShot, width, height);
    DeleteObject(hShot);
    DeleteDC(hMemory);
    ReleaseDC(nullptr, hScreen);

    int best = size * size; // the fewest opaque pixels that differ, at any place
    for (int y = 0; y + size <= height; ++y) {
        for (int x = 0; x + size <= width; ++x) {
            int differ = 0;
            for (int i = 0; i < size * size && differ < best; ++i) {
                if (mask[i] == 0 && shot[(y + i / size) * width + x + i % size] != image[i])
                    ++differ;
            }
            best = differ < best ? differ : best;
        }
    }
    *pWhat = "the caption shows the " + std::to_string(size) + " x " + std::to_string(size) +
             " icon image (opaque pixels that differ at the best place: " + std::to_string(best) + ")";
    return best == 0;
}
