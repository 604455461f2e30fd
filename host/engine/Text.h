#pragma once

#include <string>

namespace host {

// Converts between the UTF-8 of the wire and of the results, and the UTF-16
// of Windows. Ill-formed input becomes U+FFFD.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// A plug-in's string as the server widened it (each byte one character)
// back as the plug-in meant it: the bytes as UTF-8 when they are valid
// UTF-8, otherwise as Windows-1252. Text with a character above U+00FF was
// not widened from bytes and is returned unchanged.
std::string DecodePluginText(const std::string& widened);

}  // namespace host
