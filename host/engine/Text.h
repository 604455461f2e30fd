#pragma once

#include <string>

namespace host {

// Converts between the UTF-8 of the wire and of the results, and the UTF-16
// of Windows. Ill-formed input becomes U+FFFD.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace host
