#include "host/engine/util/Text.h"

#include <windows.h>

#include <cstdio>

namespace host {

namespace {

// Windows-1252 for the bytes 0x80-0x9F, where it differs from Latin-1. The
// five bytes it leaves undefined (81 8D 8F 90 9D) map to the control
// characters of the same value, as Windows's own code page 1252 does.
const uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

// Reads one UTF-8 sequence at *at into *code and moves past it. False on
// an ill-formed one: a stray continuation byte, a sequence cut short, an
// overlong form, an encoded surrogate or a value above U+10FFFF.
bool NextCodePoint(const std::string& text, size_t* at, uint32_t* code) {
    auto lead = static_cast<unsigned char>(text[*at]);
    if (lead < 0x80) {
        *code = lead;
        ++*at;
        return true;
    }
    size_t length = 0;
    uint32_t smallest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {  // C0 and C1 could only start overlong forms
        length = 2;
        smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        smallest = 0x10000;
    } else {
        return false;
    }
    // The lead byte keeps 5, 4 or 3 bits of the value.
    uint32_t value = lead & (0x7Fu >> length);
    if (text.size() - *at < length)
        return false;
    for (size_t i = 1; i < length; i++) {
        auto next = static_cast<unsigned char>(text[*at + i]);
        if ((next & 0xC0) != 0x80)
            return false;
        value = value << 6 | (next & 0x3Fu);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return false;
    *at += length;
    *code = value;
    return true;
}

bool IsWellFormedUtf8(const std::string& text) {
    uint32_t code = 0;
    for (size_t at = 0; at < text.size();)
        if (!NextCodePoint(text, &at, &code))
            return false;
    return true;
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
    return result;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

void AppendUtf8(uint32_t codePoint, std::string* utf8) {
    if (codePoint < 0x80) {
        utf8->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        utf8->push_back(static_cast<char>(0xC0 | codePoint >> 6));
        utf8->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        utf8->push_back(static_cast<char>(0xE0 | codePoint >> 12));
        utf8->push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        utf8->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        utf8->push_back(static_cast<char>(0xF0 | codePoint >> 18));
        utf8->push_back(static_cast<char>(0x80 | (codePoint >> 12 & 0x3F)));
        utf8->push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
        utf8->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::string DecodePluginText(const std::string& widened) {
    std::string bytes;
    uint32_t code = 0;
    for (size_t at = 0; at < widened.size();) {
        if (!NextCodePoint(widened, &at, &code) || code > 0xFF)
            return widened;
        bytes.push_back(static_cast<char>(code));
    }
    if (IsWellFormedUtf8(bytes))
        return bytes;
    // One decision for the whole text: a name is written in one encoding,
    // and bytes that fail as UTF-8 anywhere were not UTF-8.
    std::string decoded;
    for (char byte : bytes) {
        auto value = static_cast<unsigned char>(byte);
        bool inTable = value >= 0x80 && value < 0xA0;
        AppendUtf8(inTable ? kWindows1252High[value - 0x80] : value, &decoded);
    }
    return decoded;
}

std::string HexText(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string AsciiUpper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

}  // namespace host
