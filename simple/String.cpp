#include "simple/String.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

// MinGW's libstdc++ switches the swprintf family to C99 conventions, where
// "%s" is narrow. The system's conventions ("%s" wide, "%S" narrow) come
// from msvcrt's underscore functions, declared here to be sure which ones
// are called.
extern "C" {
_CRTIMP int __cdecl _vscwprintf(const wchar_t* format, va_list args);
_CRTIMP int __cdecl _vswprintf_p(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
}

namespace Simple {

CStringW FormatStringV(const wchar_t* format, va_list args) {
    va_list measureArgs;
    va_copy(measureArgs, args);
    int needed = _vscwprintf(format, measureArgs);
    va_end(measureArgs);

    int32_t capacity = needed >= 0 && needed < INT32_MAX ? needed + 1 : 0;
    CStringW result;
    wchar_t* buffer = result.Reserve(capacity);
    if (!buffer)
        return result;
    buffer[0] = 0;
    if (capacity > 0) {
        va_list formatArgs;
        va_copy(formatArgs, args);
        _vswprintf_p(buffer, static_cast<size_t>(capacity), format, formatArgs);
        va_end(formatArgs);
    }
    return result;
}

CStringW FormatStringArgs(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CStringW result = FormatStringV(format, args);
    va_end(args);
    return result;
}

CStringA ToUtf8(const wchar_t* text) {
    CStringA result;
    if (!text)
        return result;
    int32_t n = CStringW::CountChars(text);
    if (n > (INT32_MAX - 3) / 3)
        return result;
    int32_t capacity = 3 * n + 3;
    char* buffer = result.Reserve(capacity);
    if (!buffer)
        return result;
    WideCharToMultiByte(CP_UTF8, 0, text, n + 1, buffer, capacity, nullptr, nullptr);
    return result;
}

CStringW FromUtf8(const char* text) {
    CStringW result;
    if (!text)
        return result;
    int32_t n = CStringA::CountChars(text);
    if (n == INT32_MAX)
        return result;
    wchar_t* buffer = result.Reserve(n + 1);
    if (!buffer)
        return result;
    MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, n + 1);
    return result;
}

CStringW WidenBytes(const char* bytes) {
    CStringW result;
    if (!bytes)
        return result;
    int32_t n = CStringA::CountChars(bytes);
    if (n > (INT32_MAX - 1) / 2)
        return result;
    wchar_t* buffer = result.Reserve(2 * n + 1);
    if (!buffer)
        return result;
    // The program never sets a locale, so mbstowcs runs in the "C" locale,
    // where msvcrt maps every byte to the code unit of the same value. The
    // loop below gives the same result without depending on that.
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes);
    for (int32_t i = 0; i <= n; i++)
        buffer[i] = static_cast<wchar_t>(in[i]);
    return result;
}

}  // namespace Simple
