#pragma once

#include <windows.h>

#include <gdiplus.h>

#include <cstddef>
#include <cstdint>

// The badge's picture: the PNG resource decoded by GDI+ into a 32-bit DIB
// section with premultiplied alpha, ready for UpdateLayeredWindow. GDI+ must
// be started. Every failure gives a null bitmap and nothing else.

// The resource that holds the picture: type "PNG", id 101.
constexpr int kBadgeResourceId = 101;

// Loads the picture from module's resources. The caller owns the bitmap.
HBITMAP LoadBadgeBitmap(HINSTANCE module);

// The same from image file bytes in memory (any format GDI+ decodes).
HBITMAP DecodeBadgeBitmap(const void* bytes, size_t size);

// Copies a decoded image into a new bottom-up 32-bit DIB section, B G R A in
// each pixel, not premultiplied. Formats without a converter leave their
// rows zero (transparent black). Null when the DIB or the lock fails.
HBITMAP BitmapToDib(Gdiplus::Bitmap& image);

// Pixel converters: each reads one source pixel at *source, moves *source
// past it and gives the pixel as a 32-bit word with blue in the low byte
// and alpha in the high byte. Narrow components are widened by shifting
// alone, so 5-bit 31 becomes 248.
uint32_t ReadPixel32bppRGB(const uint8_t** source);
uint32_t ReadPixel24bppRGB(const uint8_t** source);
uint32_t ReadPixel16bppRGB565(const uint8_t** source);
uint32_t ReadPixel16bppRGB555(const uint8_t** source);

// Stores one 32-bit pixel at *destination and moves it on by 4 bytes.
void WritePixel(uint8_t** destination, uint32_t pixel);

// Converts one row of width pixels in the GDI+ pixel format to 32-bit
// pixels. False, with the destination untouched, for a format it does not
// convert.
bool ConvertPixelRow(Gdiplus::PixelFormat format, const uint8_t* source, uint8_t* destination,
                     UINT width);

// Multiplies red, green and blue by alpha / 255, truncating; alpha stays.
uint32_t PremultiplyPixel(uint32_t pixel);
void PremultiplyPixels(uint32_t* pixels, size_t count);
