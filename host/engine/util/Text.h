#pragma once

#include <cstdint>
#include <string>

namespace host {

// Converts between the UTF-8 of the wire and of the results, and the UTF-16
// of Windows. Ill-formed input becomes U+FFFD.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// A number as people look up addresses and codes: "0x1A2B".
std::string HexText(uint64_t value);

// The text with its ASCII letters in upper case, the rest as it is: how
// hexadecimal ids written in either case meet.
std::string AsciiUpper(std::string text);

// Appends one code point (at most U+10FFFF, not a surrogate) as UTF-8.
void AppendUtf8(uint32_t codePoint, std::string* utf8);

// The server widens each byte of a plug-in's strings to one character, so
// a report's text says nothing of the bytes' encoding. This takes the
// widened text (as UTF-8) back to its bytes and reads them as people meant
// them: as UTF-8 when they are well-formed UTF-8, otherwise as Windows-1252
// (the 8-bit code page of most plug-ins that are not UTF-8). Text holding a
// character above U+00FF, or text that is not itself well-formed UTF-8, was
// not widened from bytes and comes back unchanged.
std::string DecodePluginText(const std::string& widened);

}  // namespace host
