#include "badge/BadgeImage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/engine/servers/ServerProcess.h"
#include "server/Architecture.h"
#include "tests/support/GdiplusEnvironment.h"

namespace {

testing::Environment* const gdiplus = testing::AddGlobalTestEnvironment(new testing_support::GdiplusEnvironment);

// A DIB section's description and pixels, row by row as they lie in memory.
struct DibPixels {
    DIBSECTION section = {};
    std::vector<uint32_t> pixels;
    int width() const { return section.dsBm.bmWidth; }
    int height() const { return section.dsBm.bmHeight; }
    // Row 0 is the first row in memory.
    uint32_t at(int x, int memoryRow) const { return pixels[memoryRow * width() + x]; }
};

DibPixels ReadDib(HBITMAP dib) {
    DibPixels result;
    if (!GetObjectW(dib, sizeof(result.section), &result.section) || !result.section.dsBm.bmBits)
        return result;
    const BITMAP& bitmap = result.section.dsBm;
    result.pixels.resize(static_cast<size_t>(bitmap.bmWidth) * bitmap.bmHeight);
    for (int row = 0; row < bitmap.bmHeight; row++)
        memcpy(&result.pixels[static_cast<size_t>(row) * bitmap.bmWidth],
               static_cast<const uint8_t*>(bitmap.bmBits) + row * bitmap.bmWidthBytes,
               static_cast<size_t>(bitmap.bmWidth) * 4);
    return result;
}

// The server's executable mapped as data, where the badge's resource lives.
class ServerImage {
public:
    ServerImage() {
        std::wstring path = host::ExecutableFolder() + SERVER_FILE_NAME;
        module_ = LoadLibraryExW(path.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    ~ServerImage() {
        if (module_)
            FreeLibrary(module_);
    }
    HMODULE module() const { return module_; }

    // The PNG file as stored in the resource.
    std::vector<uint8_t> PngBytes() const {
        HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(kBadgeResourceId), L"PNG");
        if (!found)
            return {};
        auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module_, found)));
        return std::vector<uint8_t>(bytes, bytes + SizeofResource(module_, found));
    }

private:
    HMODULE module_ = nullptr;
};

// ---- pixel converters ----

struct ReadCase {
    uint32_t (*read)(const uint8_t**);
    std::vector<uint8_t> bytes;  // one source pixel as it lies in memory
    uint32_t expected;
};

TEST(PixelConverters, WidenEachFormatToOpaqueBgraAndStepOverOnePixel) {
    const ReadCase cases[] = {
        {ReadPixel16bppRGB565, {0xFF, 0xFF}, 0xFFF8FCF8},  // all ones: shifted, not scaled
        {ReadPixel16bppRGB565, {0x00, 0xF8}, 0xFFF80000},  // red 0xF800
        {ReadPixel16bppRGB565, {0xE0, 0x07}, 0xFF00FC00},  // green 0x07E0
        {ReadPixel16bppRGB565, {0x1F, 0x00}, 0xFF0000F8},  // blue 0x001F
        {ReadPixel16bppRGB555, {0x1F, 0x00}, 0xFF0000F8},  // pure blue 0x001F
        {ReadPixel16bppRGB555, {0x00, 0x7C}, 0xFFF80000},  // pure red 0x7C00
        {ReadPixel16bppRGB555, {0xE0, 0x03}, 0xFF00F800},  // pure green 0x03E0
        {ReadPixel16bppRGB555, {0x00, 0x80}, 0xFF000000},  // bit 15 is ignored
        {ReadPixel32bppRGB, {0x56, 0x34, 0x12, 0x00}, 0xFF123456},  // 0x00123456
        {ReadPixel32bppRGB, {0x56, 0x34, 0x12, 0x7F}, 0xFF123456},  // unused byte is not alpha
        {ReadPixel24bppRGB, {0x56, 0x34, 0x12}, 0xFF123456},        // bytes B G R
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "expected 0x" << std::hex << c.expected);
        const uint8_t* cursor = c.bytes.data();
        EXPECT_EQ(c.read(&cursor), c.expected);
        EXPECT_EQ(cursor, c.bytes.data() + c.bytes.size());
    }
}

TEST(ConvertPixelRow, LeavesTheRowAloneForFormatsItDoesNotConvert) {
    const Gdiplus::PixelFormat formats[] = {
        PixelFormat1bppIndexed, PixelFormat4bppIndexed, PixelFormat8bppIndexed,
        PixelFormat16bppGrayScale, PixelFormat16bppARGB1555, PixelFormat32bppPARGB,
        PixelFormat48bppRGB, PixelFormat64bppARGB, PixelFormat64bppPARGB,
    };
    const uint8_t source[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (Gdiplus::PixelFormat format : formats) {
        SCOPED_TRACE(testing::Message() << "format 0x" << std::hex << format);
        uint32_t row[2] = {0, 0};
        EXPECT_FALSE(ConvertPixelRow(format, source, reinterpret_cast<uint8_t*>(row), 2));
        EXPECT_EQ(row[0], 0u);
        EXPECT_EQ(row[1], 0u);
    }
}

// ---- premultiplication ----

struct PremultiplyCase {
    uint32_t straight;
    uint32_t premultiplied;
};

TEST(PremultiplyPixel, ScalesColourByAlphaTruncatingAndKeepsAlpha) {
    const PremultiplyCase cases[] = {
        {0x00FFFFFF, 0x00000000},  // alpha 0: all zero
        {0xFF123456, 0xFF123456},  // alpha 255: unchanged
        {0x80FFFFFF, 0x80808080},  // alpha 128 with 255 gives 128
        {0xB3FFFFFF, 0xB3B3B3B3},  // alpha 179 with 255 gives 179
        {0x01FEFEFE, 0x01000000},  // alpha 1 with 254 gives 0
        {0xB3FF8040, 0xB3B3592C},  // each component on its own: 128*179/255 = 89.9 -> 89
    };
    for (const PremultiplyCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "pixel 0x" << std::hex << c.straight);
        EXPECT_EQ(PremultiplyPixel(c.straight), c.premultiplied);
    }
}

// ---- BitmapToDib ----

TEST(BitmapToDib, MakesABottomUp32BitDibWithThePicturesTopRowLastInMemory) {
    // Three rows of two straight-alpha pixels, top row first.
    uint32_t picture[3][2] = {
        {0x80FFFFFF, 0xFF000001},  // top
        {0x40000002, 0xFF000003},
        {0x00000004, 0xFF000005},  // bottom
    };
    Gdiplus::Bitmap image(2, 3, 8, PixelFormat32bppARGB, reinterpret_cast<BYTE*>(picture));
    ASSERT_EQ(image.GetLastStatus(), Gdiplus::Ok);

    HBITMAP dib = BitmapToDib(image);
    ASSERT_NE(dib, nullptr);
    DibPixels result = ReadDib(dib);
    EXPECT_EQ(result.width(), 2);
    EXPECT_EQ(result.height(), 3);  // positive: bottom-up
    EXPECT_EQ(result.section.dsBm.bmBitsPixel, 32);
    EXPECT_EQ(result.section.dsBmih.biCompression, static_cast<DWORD>(BI_RGB));
    ASSERT_EQ(result.pixels.size(), 6u);
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 2; x++)
            EXPECT_EQ(result.at(x, 2 - y), picture[y][x]) << "x " << x << ", y " << y;
    // Not premultiplied: that is the loader's step.
    EXPECT_EQ(result.at(0, 2), 0x80FFFFFFu);
    DeleteObject(dib);
}

TEST(BitmapToDib, FollowsTheSourceStrideNotThePixelWidth) {
    // Three 24-bit pixels are 9 bytes; GDI+ rows are padded to 12.
    uint8_t picture[2][12] = {
        {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0xEE, 0xEE, 0xEE},
        {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0xEE, 0xEE, 0xEE},
    };
    Gdiplus::Bitmap image(3, 2, 12, PixelFormat24bppRGB, &picture[0][0]);
    ASSERT_EQ(image.GetLastStatus(), Gdiplus::Ok);

    HBITMAP dib = BitmapToDib(image);
    ASSERT_NE(dib, nullptr);
    DibPixels result = ReadDib(dib);
    ASSERT_EQ(result.pixels.size(), 6u);
    const uint32_t top[3] = {0xFF030201, 0xFF060504, 0xFF090807};
    const uint32_t bottom[3] = {0xFF131211, 0xFF161514, 0xFF191817};
    for (int x = 0; x < 3; x++) {
        EXPECT_EQ(result.at(x, 1), top[x]) << "x " << x;
        EXPECT_EQ(result.at(x, 0), bottom[x]) << "x " << x;
    }
    DeleteObject(dib);
}

TEST(BitmapToDib, Converts16BitImagesPixelByPixel) {
    uint16_t picture[2][2] = {
        {0xFFFF, 0x001F},  // top: white, blue
        {0xF800, 0x07E0},  // bottom: red, green
    };
    Gdiplus::Bitmap image(2, 2, 4, PixelFormat16bppRGB565, reinterpret_cast<BYTE*>(picture));
    ASSERT_EQ(image.GetLastStatus(), Gdiplus::Ok);

    HBITMAP dib = BitmapToDib(image);
    ASSERT_NE(dib, nullptr);
    DibPixels result = ReadDib(dib);
    ASSERT_EQ(result.pixels.size(), 4u);
    EXPECT_EQ(result.at(0, 1), 0xFFF8FCF8u);
    EXPECT_EQ(result.at(1, 1), 0xFF0000F8u);
    EXPECT_EQ(result.at(0, 0), 0xFFF80000u);
    EXPECT_EQ(result.at(1, 0), 0xFF00FC00u);
    DeleteObject(dib);
}

TEST(BitmapToDib, AnIndexedImageGivesARightSizedAllZeroDib) {
    // Every index 1, a colour that is not black in any palette GDI+ gives.
    uint8_t picture[4][8];
    memset(picture, 1, sizeof(picture));
    Gdiplus::Bitmap image(5, 4, 8, PixelFormat8bppIndexed, &picture[0][0]);
    ASSERT_EQ(image.GetLastStatus(), Gdiplus::Ok);
    ASSERT_EQ(image.GetPixelFormat(), PixelFormat8bppIndexed);

    HBITMAP dib = BitmapToDib(image);
    ASSERT_NE(dib, nullptr);
    DibPixels result = ReadDib(dib);
    EXPECT_EQ(result.width(), 5);
    EXPECT_EQ(result.height(), 4);
    EXPECT_EQ(result.section.dsBm.bmBitsPixel, 32);
    ASSERT_EQ(result.pixels.size(), 20u);
    for (uint32_t pixel : result.pixels)
        EXPECT_EQ(pixel, 0u);
    DeleteObject(dib);
}

// ---- decoding and loading ----

TEST(DecodeBadgeBitmap, GivesNullForBytesGdiplusCannotDecode) {
    const char notAPicture[] = "this is not a picture of any kind, just some text";
    EXPECT_EQ(DecodeBadgeBitmap(notAPicture, sizeof(notAPicture)), nullptr);
    EXPECT_EQ(DecodeBadgeBitmap(notAPicture, 0), nullptr);
    EXPECT_EQ(DecodeBadgeBitmap(nullptr, 10), nullptr);

    ServerImage server;
    std::vector<uint8_t> png = server.PngBytes();
    ASSERT_GT(png.size(), 64u);
    // The signature and the start of the header, then nothing.
    EXPECT_EQ(DecodeBadgeBitmap(png.data(), 20), nullptr);
}

TEST(LoadBadgeBitmap, GivesNullForAModuleWithoutThePicture) {
    EXPECT_EQ(LoadBadgeBitmap(GetModuleHandleW(nullptr)), nullptr);
}

TEST(LoadBadgeBitmap, LoadsTheServersPictureAs120By120PremultipliedPixels) {
    ServerImage server;
    ASSERT_NE(server.module(), nullptr);
    HBITMAP dib = LoadBadgeBitmap(server.module());
    ASSERT_NE(dib, nullptr);
    DibPixels result = ReadDib(dib);
    ASSERT_EQ(result.width(), 120);
    ASSERT_EQ(result.height(), 120);
    EXPECT_EQ(result.section.dsBm.bmBitsPixel, 32);
    ASSERT_EQ(result.pixels.size(), 120u * 120u);

    for (uint32_t pixel : result.pixels) {
        uint32_t alpha = pixel >> 24;
        ASSERT_LE(pixel >> 16 & 0xFF, alpha) << std::hex << pixel;
        ASSERT_LE(pixel >> 8 & 0xFF, alpha) << std::hex << pixel;
        ASSERT_LE(pixel & 0xFF, alpha) << std::hex << pixel;
    }
    // The rounded corners are fully transparent.
    EXPECT_EQ(result.at(0, 0), 0u);
    EXPECT_EQ(result.at(119, 0), 0u);
    EXPECT_EQ(result.at(0, 119), 0u);
    EXPECT_EQ(result.at(119, 119), 0u);
    // The body beside the emblem, halfway down either edge: black at 179.
    EXPECT_EQ(result.at(6, 60), 0xB3000000u);
    EXPECT_EQ(result.at(113, 60), 0xB3000000u);
    DeleteObject(dib);
}

TEST(LoadBadgeBitmap, EveryPixelIsThePicturesPixelPremultipliedInPlace) {
    ServerImage server;
    std::vector<uint8_t> png = server.PngBytes();
    ASSERT_FALSE(png.empty());
    HBITMAP dib = LoadBadgeBitmap(server.module());
    ASSERT_NE(dib, nullptr);
    DibPixels result = ReadDib(dib);
    ASSERT_EQ(result.pixels.size(), 120u * 120u);

    // The same bytes decoded on their own, read straight through GDI+.
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, png.size());
    ASSERT_NE(memory, nullptr);
    memcpy(GlobalLock(memory), png.data(), png.size());
    GlobalUnlock(memory);
    IStream* stream = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(memory, TRUE, &stream), S_OK);
    Gdiplus::Bitmap picture(stream);
    ASSERT_EQ(picture.GetLastStatus(), Gdiplus::Ok);
    EXPECT_EQ(picture.GetPixelFormat(), PixelFormat32bppARGB);
    int translucent = 0;
    for (int y = 0; y < 120; y++) {
        for (int x = 0; x < 120; x++) {
            Gdiplus::Color colour;
            ASSERT_EQ(picture.GetPixel(x, y, &colour), Gdiplus::Ok);
            uint32_t straight = colour.GetValue();
            uint32_t alpha = straight >> 24;
            if (alpha != 0 && alpha != 255 && (straight & 0xFFFFFF) != 0)
                translucent++;
            ASSERT_EQ(result.at(x, 119 - y), PremultiplyPixel(straight)) << "x " << x << ", y " << y;
        }
    }
    // Pixels whose colour premultiplication changes, or the check above
    // would hold for an untouched copy too.
    EXPECT_GT(translucent, 0);
    stream->Release();
    DeleteObject(dib);
}

}  // namespace
