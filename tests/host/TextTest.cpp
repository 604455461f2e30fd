// Plug-in text as people meant it: widened bytes read back as UTF-8 or,
// failing that, as Windows-1252.
#include "host/engine/util/Text.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

using host::DecodePluginText;

// Each byte widened to one character, the way the server hands them on.
std::string Widened(const std::string& bytes) {
    std::string text;
    for (char byte : bytes)
        host::AppendUtf8(static_cast<unsigned char>(byte), &text);
    return text;
}

TEST(DecodePluginText, ReadsTheBytesAsUtf8WhenTheyAreAndAsWindows1252Otherwise) {
    struct Case {
        std::string widened;
        std::string decoded;
    };
    const Case cases[] = {
        {"", ""},                                                    // nothing
        {"Plain 1.0 ~", "Plain 1.0 ~"},                              // ASCII stays
        {Widened("R\xC3\xA9zonateur"), "R\xC3\xA9zonateur"},         // UTF-8 name
        {Widened("\xE2\x82\xAC \xF0\x9F\x8E\xB9"), "\xE2\x82\xAC \xF0\x9F\x8E\xB9"},  // 3, 4 bytes
        {Widened("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF"},           // U+10FFFF, the last
        {Widened("Caf\xE9"), "Caf\xC3\xA9"},                         // Windows-1252 E9
        {Widened("\x80\x99\x9F"), "\xE2\x82\xAC\xE2\x84\xA2\xC5\xB8"},  // 80-9F from the table
        {Widened("\x81\x8D\x8F\x90\x9D"),
         "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},                // undefined: controls
        {Widened("R\xC3\xA9\x92"), "R\xC3\x83\xC2\xA9\xE2\x80\x99"},  // one bad byte: all 1252
        {Widened("\xC0\xAF"), "\xC3\x80\xC2\xAF"},                   // overlong "/"
        {Widened("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},   // encoded surrogate
        {Widened("\xF4\x90\x80\x80"),
         "\xC3\xB4\xC2\x90\xE2\x82\xAC\xE2\x82\xAC"},                // above U+10FFFF
        {Widened("Caf\xC3"), "Caf\xC3\x83"},                         // sequence cut short
        {Widened("\xA9x"), "\xC2\xA9x"},                             // stray continuation byte
        {"Caf\xC3\xA9 \xE2\x82\xAC", "Caf\xC3\xA9 \xE2\x82\xAC"},    // U+20AC: not widened
        {"\xC3\xA9\xEF\xBF\xBD", "\xC3\xA9\xEF\xBF\xBD"},            // U+FFFD of a lone half
        {"\xC3\x28", "\xC3\x28"},                                    // not UTF-8 itself
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.widened));
        EXPECT_EQ(DecodePluginText(c.widened), c.decoded);
    }
}

TEST(DecodePluginText, AgreesWithTheSystemsCodePage1252ForEveryByteAlone) {
    for (int byte = 0x80; byte <= 0xFF; byte++) {
        SCOPED_TRACE(byte);
        const char bytes[] = {static_cast<char>(byte)};
        wchar_t unit = 0;
        ASSERT_EQ(MultiByteToWideChar(1252, 0, bytes, 1, &unit, 1), 1);
        std::string expected = host::ToUtf8(std::wstring(1, unit));
        EXPECT_EQ(DecodePluginText(Widened(std::string(bytes, 1))), expected);
    }
}

}  // namespace
