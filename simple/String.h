#pragma once

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace Simple {

// A reference-counted, copy-on-write string. The object is nothing but a
// pointer to its first character (or null, the empty string), so it can be
// passed wherever a terminated character pointer is expected, varargs
// included. The buffer is one malloc block: a header of three int32 fields
// right before the characters, room for capacity + 1 characters.
//
// Not thread-safe: the reference count is a plain integer.
template <typename T>
class CString {
public:
    struct Header {
        int32_t refs;
        int32_t capacity;
        int32_t length;  // -1 until counted
    };

    CString() : chars_(nullptr) {}
    CString(const T* text, int32_t count = -1) : chars_(nullptr) { Assign(text, count); }
    CString(const CString& other) : chars_(other.chars_) {
        if (chars_)
            GetHeader()->refs++;
    }
    ~CString() { Release(); }

    CString& operator=(const CString& other) {
        if (chars_ == other.chars_)
            return *this;
        if (other.chars_)
            other.GetHeader()->refs++;
        Release();
        chars_ = other.chars_;
        return *this;
    }
    CString& operator=(const T* text) {
        Assign(text, -1);
        return *this;
    }

    operator const T*() const { return chars_; }
    const T* GetBuffer() const { return chars_; }
    bool IsNull() const { return chars_ == nullptr; }

    // Releases the old value, then copies count characters of text (all of
    // it up to its terminator when count is negative). A null text, or an
    // allocation failure, leaves the null string.
    void Assign(const T* text, int32_t count = -1) {
        // The copy is made before the old value goes, so that text may
        // point into this string's own buffer.
        CString copy;
        if (text) {
            if (count < 0)
                count = CountChars(text);
            T* buffer = copy.Reserve(count);
            if (buffer) {
                memcpy(buffer, text, sizeof(T) * static_cast<size_t>(count));
                buffer[count] = 0;
                copy.GetHeader()->length = count;
            }
        }
        *this = copy;
    }

    void Release() {
        if (!chars_)
            return;
        Header* header = GetHeader();
        if (header->refs <= 1)
            free(header);
        else
            header->refs--;
        chars_ = nullptr;
    }

    int32_t GetLength() const {
        if (!chars_)
            return 0;
        Header* header = GetHeader();
        if (header->length < 0)
            header->length = CountChars(chars_);
        return header->length;
    }

    int32_t GetCapacity() const { return chars_ ? GetHeader()->capacity : 0; }
    int32_t GetRefCount() const { return chars_ ? GetHeader()->refs : 0; }
    int32_t GetCachedLength() const { return chars_ ? GetHeader()->length : -1; }

    // Gives the string a buffer of its own with room for n characters and
    // returns it for writing; the cached length is then unknown (-1). Null
    // when memory cannot be had or n is negative, and then the string is
    // left as it was.
    T* Reserve(int32_t n) {
        if (n < 0 || static_cast<uint64_t>(n) > MaxCapacity())
            return nullptr;
        Header* old = chars_ ? GetHeader() : nullptr;
        if (old && old->refs == 1 && n <= old->capacity) {
            old->length = -1;
            return chars_;
        }
        Header* header;
        if (!old) {
            header = static_cast<Header*>(malloc(BlockSize(n)));
        } else if (old->refs > 1) {
            // The other sharers keep the old buffer and its text.
            header = static_cast<Header*>(malloc(BlockSize(n)));
            if (header) {
                memcpy(header, old, BlockSize(old->capacity < n ? old->capacity : n));
                old->refs--;
            }
        } else {
            header = static_cast<Header*>(realloc(old, BlockSize(n)));
        }
        if (!header)
            return nullptr;
        header->refs = 1;
        header->capacity = n;
        header->length = -1;
        chars_ = CharsOf(header);
        chars_[n] = 0;
        return chars_;
    }

    // Inserts count characters of source at position (-1: the end). A
    // negative count takes source up to its terminator. Source must not
    // point into this string's own buffer. False, with the string
    // unchanged, when memory cannot be had.
    bool Insert(int32_t position, const T* source, int32_t count) {
        if (count == 0)
            return true;
        if (count < 0)
            count = source ? CountChars(source) : 0;
        int32_t oldLength = GetLength();
        if (position < 0 || position > oldLength)
            position = oldLength;
        if (count > INT32_MAX - oldLength)
            return false;
        int32_t newLength = oldLength + count;

        if (!chars_ || GetHeader()->refs > 1) {
            if (!Reserve(newLength))
                return false;
        } else if (newLength > GetHeader()->capacity) {
            int32_t capacity = GetHeader()->capacity;
            int32_t wanted = capacity <= INT32_MAX / 2 && 2 * capacity > newLength ? 2 * capacity
                                                                                     : newLength;
            if (!Reserve(wanted))
                return false;
        }
        if (position < oldLength)
            memmove(chars_ + position + count, chars_ + position,
                    sizeof(T) * static_cast<size_t>(oldLength - position));
        if (count > 0)
            memcpy(chars_ + position, source, sizeof(T) * static_cast<size_t>(count));
        chars_[newLength] = 0;
        GetHeader()->length = newLength;
        return true;
    }

    bool Append(const T* source, int32_t count = -1) { return Insert(-1, source, count); }

    friend bool operator==(const CString& a, const CString& b) {
        if (a.chars_ == b.chars_)
            return true;
        if (!a.chars_ || !b.chars_)
            return false;
        return EqualChars(a.chars_, b.chars_);
    }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }

    static int32_t CountChars(const T* text) {
        size_t n = 0;
        while (text[n])
            n++;
        return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
    }

private:
    static constexpr size_t kHeaderRoom = 16;  // header plus room for the terminator

    static uint64_t MaxCapacity() { return (static_cast<uint64_t>(INT32_MAX) - kHeaderRoom) / sizeof(T); }
    static size_t BlockSize(int32_t capacity) {
        return kHeaderRoom + static_cast<size_t>(capacity) * sizeof(T);
    }
    static T* CharsOf(Header* header) { return reinterpret_cast<T*>(header + 1); }
    Header* GetHeader() const { return reinterpret_cast<Header*>(chars_) - 1; }

    static bool EqualChars(const T* a, const T* b) {
        using Unit = typename std::make_unsigned<T>::type;
        for (;; a++, b++) {
            if (static_cast<Unit>(*a) != static_cast<Unit>(*b))
                return false;
            if (!*a)
                return true;
        }
    }

    T* chars_;
};

static_assert(sizeof(CString<wchar_t>) == sizeof(void*), "a string is one pointer");
static_assert(sizeof(wchar_t) == 2, "CStringW holds UTF-16 code units");

using CStringW = CString<wchar_t>;
using CStringA = CString<char>;

// Formats with the Microsoft wide conventions: "%s" takes a wide string,
// "%S" a byte string, a null string argument prints as "(null)". The result
// is allocated even when empty; null only when memory cannot be had.
CStringW FormatStringV(const wchar_t* format, va_list args);
CStringW FormatStringArgs(const wchar_t* format, ...);

// GCC hands a class object with a copy constructor to "..." as the address
// of a temporary copy, not as its bits (MSVC passes the bits), so a CString
// given straight to "%s" would print garbage. Variadic front ends pass each
// argument through VarArg, which turns a string into its character pointer
// and leaves every other argument as it is.
template <typename A>
inline const A& VarArg(const A& argument) {
    return argument;
}
template <typename T>
inline const T* VarArg(const CString<T>& text) {
    return text.GetBuffer();
}

template <typename... Args>
CStringW FormatString(const wchar_t* format, const Args&... args) {
    return FormatStringArgs(format, VarArg(args)...);
}

// UTF-16 to UTF-8 and back; null in, null out.
CStringA ToUtf8(const wchar_t* text);
CStringW FromUtf8(const char* text);

// Each byte becomes the UTF-16 code unit of the same value (ISO 8859-1).
CStringW WidenBytes(const char* bytes);

}  // namespace Simple
