#include "badge/BadgeImage.h"

#include <objbase.h>

#include <cstring>

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;

// The DIB header for a 32-bit picture of the given size. The positive
// height makes the rows bottom-up, as GDI prefers them.
BITMAPINFOHEADER DibHeader(UINT width, UINT height) {
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof(header);
    header.biWidth = static_cast<LONG>(width);
    header.biHeight = static_cast<LONG>(height);
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    return header;
}

// Premultiplies the pixels of a DIB section in place. A bitmap that is not
// a DIB section is left alone.
void PremultiplyDib(HBITMAP dib) {
    DIBSECTION section;
    if (!GetObjectW(dib, sizeof(section), &section) || !section.dsBm.bmBits)
        return;
    size_t count = static_cast<size_t>(section.dsBm.bmWidthBytes) *
                   static_cast<size_t>(section.dsBm.bmHeight) / 4;
    PremultiplyPixels(static_cast<uint32_t*>(section.dsBm.bmBits), count);
}

// Decodes from a stream that owns its memory and releases the stream.
HBITMAP DecodeStream(IStream* stream) {
    HBITMAP dib = nullptr;
    {
        Gdiplus::Bitmap image(stream);
        if (image.GetLastStatus() == Gdiplus::Ok) {
            dib = BitmapToDib(image);
            if (dib)
                PremultiplyDib(dib);
        }
        // GDI+ holds a reference of its own for as long as the image lives,
        // so ours can go first.
        stream->Release();
    }
    return dib;
}

}  // namespace

uint32_t ReadPixel32bppRGB(const uint8_t** source) {
    uint32_t pixel;
    memcpy(&pixel, *source, 4);
    *source += 4;
    return pixel | kOpaque;
}

uint32_t ReadPixel24bppRGB(const uint8_t** source) {
    const uint8_t* bytes = *source;
    *source += 3;
    return kOpaque | uint32_t(bytes[2]) << 16 | uint32_t(bytes[1]) << 8 | bytes[0];
}

uint32_t ReadPixel16bppRGB565(const uint8_t** source) {
    uint16_t word;
    memcpy(&word, *source, 2);
    *source += 2;
    uint32_t red = (word >> 11 & 0x1F) << 3;
    uint32_t green = (word >> 5 & 0x3F) << 2;
    uint32_t blue = (word & 0x1F) << 3;
    return kOpaque | red << 16 | green << 8 | blue;
}

uint32_t ReadPixel16bppRGB555(const uint8_t** source) {
    uint16_t word;
    memcpy(&word, *source, 2);
    *source += 2;
    uint32_t red = (word >> 10 & 0x1F) << 3;
    uint32_t green = (word >> 5 & 0x1F) << 3;
    uint32_t blue = (word & 0x1F) << 3;
    return kOpaque | red << 16 | green << 8 | blue;
}

void WritePixel(uint8_t** destination, uint32_t pixel) {
    memcpy(*destination, &pixel, 4);
    *destination += 4;
}

bool ConvertPixelRow(Gdiplus::PixelFormat format, const uint8_t* source, uint8_t* destination,
                     UINT width) {
    uint32_t (*read)(const uint8_t**);
    switch (format) {
    case PixelFormat32bppARGB:
        // Already B G R A, straight alpha: one block copy.
        memcpy(destination, source, static_cast<size_t>(width) * 4);
        return true;
    case PixelFormat32bppRGB:
        read = ReadPixel32bppRGB;
        break;
    case PixelFormat24bppRGB:
        read = ReadPixel24bppRGB;
        break;
    case PixelFormat16bppRGB565:
        read = ReadPixel16bppRGB565;
        break;
    case PixelFormat16bppRGB555:
        read = ReadPixel16bppRGB555;
        break;
    default:
        return false;
    }
    for (UINT x = 0; x < width; x++)
        WritePixel(&destination, read(&source));
    return true;
}

uint32_t PremultiplyPixel(uint32_t pixel) {
    uint32_t alpha = pixel >> 24;
    uint32_t red = (pixel >> 16 & 0xFF) * alpha / 255;
    uint32_t green = (pixel >> 8 & 0xFF) * alpha / 255;
    uint32_t blue = (pixel & 0xFF) * alpha / 255;
    return alpha << 24 | red << 16 | green << 8 | blue;
}

void PremultiplyPixels(uint32_t* pixels, size_t count) {
    for (size_t i = 0; i < count; i++)
        pixels[i] = PremultiplyPixel(pixels[i]);
}

HBITMAP BitmapToDib(Gdiplus::Bitmap& image) {
    Gdiplus::PixelFormat format = image.GetPixelFormat();
    UINT width = image.GetWidth();
    UINT height = image.GetHeight();

    BITMAPINFO info = {};
    info.bmiHeader = DibHeader(width, height);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!dib)
        return nullptr;
    size_t stride = ((static_cast<size_t>(width) * 32 + 31) / 32) * 4;
    memset(bits, 0, stride * height);

    // The image's own format: GDI+ converts nothing, the converters do.
    Gdiplus::Rect all(0, 0, static_cast<INT>(width), static_cast<INT>(height));
    Gdiplus::BitmapData locked = {};
    if (image.LockBits(&all, Gdiplus::ImageLockModeRead, format, &locked) != Gdiplus::Ok) {
        DeleteObject(dib);
        return nullptr;
    }
    for (UINT y = 0; y < height; y++) {
        // The lock's stride is signed: a bottom-up source runs backwards.
        const uint8_t* source =
            static_cast<const uint8_t*>(locked.Scan0) + static_cast<ptrdiff_t>(y) * locked.Stride;
        // Bottom-up: the picture's top row is the DIB's last row in memory.
        uint8_t* destination = static_cast<uint8_t*>(bits) + (height - 1 - y) * stride;
        ConvertPixelRow(format, source, destination, width);
    }
    image.UnlockBits(&locked);
    return dib;
}

HBITMAP DecodeBadgeBitmap(const void* bytes, size_t size) {
    if (!bytes || !size)
        return nullptr;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!memory)
        return nullptr;
    void* copy = GlobalLock(memory);
    if (!copy) {
        GlobalFree(memory);
        return nullptr;
    }
    memcpy(copy, bytes, size);
    GlobalUnlock(memory);

    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
        GlobalFree(memory);
        return nullptr;
    }
    return DecodeStream(stream);
}

HBITMAP LoadBadgeBitmap(HINSTANCE module) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(kBadgeResourceId), L"PNG");
    if (!found)
        return nullptr;
    HGLOBAL loaded = LoadResource(module, found);
    DWORD size = SizeofResource(module, found);
    if (!loaded || !size)
        return nullptr;
    return DecodeBadgeBitmap(LockResource(loaded), size);
}
