#include "simple/String.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using Simple::CStringA;
using Simple::CStringW;

namespace {

std::string Bytes(const CStringA& text) {
    return text.IsNull() ? std::string() : std::string(text.GetBuffer());
}

std::wstring Wide(const CStringW& text) {
    return text.IsNull() ? std::wstring() : std::wstring(text.GetBuffer());
}

// The UTF-8 the platform makes of text, for comparison.
std::string PlatformUtf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}

// --- Null, construction and release ------------------------------------

TEST(StringConstruction, DefaultIsNullAndAllocatesNothing) {
    CStringW text;
    EXPECT_TRUE(text.IsNull());
    EXPECT_EQ(text.GetBuffer(), nullptr);
    EXPECT_EQ(text.GetLength(), 0);
    EXPECT_EQ(text.GetCapacity(), 0);
}

TEST(StringConstruction, FromTextHasCapacityEqualToItsLengthAndCachesIt) {
    struct Case {
        const wchar_t* text;
        int32_t count;
        const wchar_t* expected;
        int32_t capacity;
    };
    const Case cases[] = {
        {L"0123456789", -1, L"0123456789", 10},  // terminated text
        {L"library.dll>1f", 11, L"library.dll", 11},  // explicit count, as for the part before ">"
        {L"", -1, L"", 0},                        // empty text is still allocated
        {L"abc", 0, L"", 0},                      // count 0 gives an allocated empty string
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "count " << c.count);
        CStringW text(c.text, c.count);
        ASSERT_FALSE(text.IsNull());
        EXPECT_EQ(Wide(text), c.expected);
        EXPECT_EQ(text.GetCapacity(), c.capacity);
        EXPECT_EQ(text.GetCachedLength(), c.capacity);
        EXPECT_EQ(text.GetRefCount(), 1);
    }
    EXPECT_TRUE(CStringW(nullptr).IsNull());
    CStringA narrow("abc");
    EXPECT_EQ(narrow.GetCapacity(), 3);
}

TEST(StringConstruction, AssigningTextReleasesTheOldValue) {
    CStringW text(L"first");
    CStringW sharer(text);
    ASSERT_EQ(sharer.GetRefCount(), 2);
    text = L"second";
    EXPECT_EQ(Wide(text), L"second");
    EXPECT_EQ(sharer.GetRefCount(), 1);
    EXPECT_EQ(Wide(sharer), L"first");
    text = static_cast<const wchar_t*>(nullptr);
    EXPECT_TRUE(text.IsNull());
}

TEST(StringConstruction, AssigningTextFromItsOwnBufferKeepsTheText) {
    CStringW text(L"own buffer");
    text = text.GetBuffer() + 4;  // the old buffer must outlive the copy
    EXPECT_EQ(Wide(text), L"buffer");
    text.Assign(text.GetBuffer(), 3);
    EXPECT_EQ(Wide(text), L"buf");
    EXPECT_EQ(text.GetRefCount(), 1);
}

TEST(StringRelease, DropsOneReferenceAtATime) {
    CStringW owner(L"shared text");
    const wchar_t* buffer = owner.GetBuffer();
    {
        CStringW sharer(owner);
        ASSERT_EQ(owner.GetRefCount(), 2);
        sharer.Release();
        EXPECT_TRUE(sharer.IsNull());
        EXPECT_EQ(owner.GetRefCount(), 1);
        EXPECT_EQ(owner.GetBuffer(), buffer);  // still allocated, text intact
        EXPECT_EQ(Wide(owner), L"shared text");
    }
    owner.Release();  // the last reference frees the block
    EXPECT_TRUE(owner.IsNull());
    EXPECT_EQ(owner.GetLength(), 0);
    owner.Release();  // releasing the null string does nothing
    EXPECT_TRUE(owner.IsNull());
}

// --- Sharing and copy on write ------------------------------------------

TEST(StringSharing, CopiesShareOneBuffer) {
    CStringW original(L"shared");
    CStringW copy(original);
    CStringW assigned;
    assigned = copy;
    EXPECT_EQ(copy.GetBuffer(), original.GetBuffer());
    EXPECT_EQ(assigned.GetBuffer(), original.GetBuffer());
    EXPECT_EQ(original.GetRefCount(), 3);

    assigned = assigned;  // self-assignment changes nothing
    assigned = original;  // neither does assigning the same buffer again
    EXPECT_EQ(original.GetRefCount(), 3);

    CStringW null;
    CStringW nullCopy(null);
    EXPECT_TRUE(nullCopy.IsNull());
}

TEST(StringSharing, WritingGivesTheWriterItsOwnBufferAndLeavesTheOtherIntact) {
    CStringW original(L"0123456789");
    const wchar_t* originalBuffer = original.GetBuffer();
    CStringW copy(original);
    ASSERT_EQ(original.GetRefCount(), 2);

    ASSERT_TRUE(copy.Append(L"x", 1));
    EXPECT_NE(copy.GetBuffer(), originalBuffer);
    EXPECT_EQ(Wide(copy), L"0123456789x");
    EXPECT_EQ(copy.GetCapacity(), 11);  // exactly the new length, no doubling
    EXPECT_EQ(copy.GetRefCount(), 1);

    EXPECT_EQ(original.GetBuffer(), originalBuffer);
    EXPECT_EQ(Wide(original), L"0123456789");
    EXPECT_EQ(original.GetRefCount(), 1);
    EXPECT_EQ(original.GetCapacity(), 10);
}

TEST(StringSharing, ReserveOnASharedBufferCopiesTheText) {
    CStringA original("abcdef");
    CStringA copy(original);
    struct Case {
        int32_t capacity;
        const char* text;
    };
    const Case cases[] = {
        {12, "abcdef"},  // larger: the whole text comes along
        {3, "abc"},      // smaller: cut at the new capacity
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity);
        CStringA writer(original);
        char* buffer = writer.Reserve(c.capacity);
        ASSERT_NE(buffer, nullptr);
        EXPECT_NE(buffer, original.GetBuffer());
        EXPECT_EQ(writer.GetCapacity(), c.capacity);
        EXPECT_EQ(writer.GetCachedLength(), -1);
        EXPECT_EQ(Bytes(writer), c.text);
        EXPECT_EQ(original.GetRefCount(), 2);  // original and copy
    }
    EXPECT_EQ(Bytes(original), "abcdef");
    EXPECT_EQ(copy.GetBuffer(), original.GetBuffer());
}

// --- Growth: Insert and Reserve -----------------------------------------

TEST(StringGrowth, AppendsToAnOwnBufferDoubleTheCapacityOrTakeTheNewLength) {
    struct Case {
        const wchar_t* start;
        int32_t appended;
        int32_t capacity;
    };
    const Case cases[] = {
        {L"0123456789", 1, 20},   // doubling covers it
        {L"0123456789", 25, 35},  // doubling is not enough: exactly the new length
        {L"0123456789", 10, 20},  // doubling equals the new length
        {L"0123456789", 0, 10},   // nothing appended: no allocation
        {L"", 1, 1},              // capacity 0 doubles to 0: the new length
        {L"", 4, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "appending " << c.appended << " to '"
                                        << std::string(Bytes(Simple::ToUtf8(c.start))) << "'");
        CStringW text(c.start);
        std::wstring appended(static_cast<size_t>(c.appended), L'+');
        ASSERT_TRUE(text.Append(appended.c_str(), c.appended));
        EXPECT_EQ(text.GetCapacity(), c.capacity);
        EXPECT_EQ(Wide(text), std::wstring(c.start) + appended);
        EXPECT_EQ(text.GetCachedLength(), static_cast<int32_t>(wcslen(c.start)) + c.appended);
    }
}

TEST(StringGrowth, AppendWithinCapacityKeepsTheBuffer) {
    CStringW text(L"abc");
    ASSERT_NE(text.Reserve(10), nullptr);
    const wchar_t* buffer = text.GetBuffer();
    ASSERT_TRUE(text.Append(L"defg"));
    EXPECT_EQ(text.GetBuffer(), buffer);
    EXPECT_EQ(text.GetCapacity(), 10);
    EXPECT_EQ(Wide(text), L"abcdefg");
    EXPECT_EQ(text.GetCachedLength(), 7);
}

TEST(StringGrowth, CharacterByCharacterAppendsStayGeometric) {
    CStringW text(L"a");
    int reallocations = 0;
    int32_t lastCapacity = text.GetCapacity();
    for (int i = 0; i < 5000; i++) {
        wchar_t c = static_cast<wchar_t>(L'a' + i % 26);
        ASSERT_TRUE(text.Append(&c, 1));  // one character, not terminated
        if (text.GetCapacity() != lastCapacity)
            reallocations++;
        lastCapacity = text.GetCapacity();
    }
    EXPECT_EQ(text.GetLength(), 5001);
    EXPECT_EQ(reallocations, 13);  // 2, 4, 8, ... 8192
    EXPECT_EQ(text.GetCapacity(), 8192);
}

TEST(StringGrowth, ReserveRules) {
    CStringW null;
    wchar_t* empty = null.Reserve(0);
    ASSERT_NE(empty, nullptr);  // the null string becomes an allocated empty one
    EXPECT_FALSE(null.IsNull());
    EXPECT_EQ(null.GetCapacity(), 0);
    EXPECT_EQ(empty[0], L'\0');
    EXPECT_EQ(null.GetLength(), 0);
    EXPECT_NE(null, CStringW());

    CStringW text(L"abcdef");
    const wchar_t* buffer = text.GetBuffer();
    EXPECT_EQ(text.Reserve(2), buffer);  // never shrinks, never moves
    EXPECT_EQ(text.GetCapacity(), 6);
    EXPECT_EQ(text.GetCachedLength(), -1);  // the caller may write: counted again
    EXPECT_EQ(text.GetLength(), 6);

    ASSERT_NE(text.Reserve(100), nullptr);  // grows and keeps the text
    EXPECT_EQ(text.GetCapacity(), 100);
    EXPECT_EQ(Wide(text), L"abcdef");
    EXPECT_EQ(text.GetRefCount(), 1);

    CStringW unchanged(L"kept");
    EXPECT_EQ(unchanged.Reserve(-1), nullptr);  // refused, string left as it was
    EXPECT_EQ(Wide(unchanged), L"kept");
    EXPECT_EQ(unchanged.GetCapacity(), 4);
}

TEST(StringGrowth, ASizeBeyondTheTypeIsRefusedAndLeavesTheStringUnchanged) {
    CStringA text("keep");
    CStringA sharer(text);
    EXPECT_EQ(text.Reserve(INT32_MAX), nullptr);
    EXPECT_EQ(Bytes(text), "keep");
    EXPECT_EQ(text.GetBuffer(), sharer.GetBuffer());
    EXPECT_EQ(text.GetRefCount(), 2);
    EXPECT_FALSE(text.Append(std::string(16, 'x').c_str(), INT32_MAX - 2));
    EXPECT_EQ(Bytes(text), "keep");
}

// --- Insert at a position ------------------------------------------------

TEST(StringInsert, PlacesCharactersAtThePosition) {
    struct Case {
        const wchar_t* start;
        int32_t position;
        const wchar_t* source;
        int32_t count;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"xyz", 1, L"ab", 2, L"xabyz"},     // middle: the tail moves up
        {L"xyz", 0, L"ab", 2, L"abxyz"},     // front
        {L"xyz", 3, L"ab", 2, L"xyzab"},     // at the length: an append
        {L"xyz", -1, L"ab", -1, L"xyzab"},   // -1 means the end, count -1 the whole source
        {L"xyz", 1, L"abcdef", 3, L"xabcyz"},  // only count characters of source
        {L"0123456789", 5, L"ABCDEFGHIJKLMNOPQRSTUVWXY", 25,
         L"01234ABCDEFGHIJKLMNOPQRSTUVWXY56789"},  // grows and moves in one go
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "position " << c.position << ", count " << c.count);
        CStringW text(c.start);
        ASSERT_TRUE(text.Insert(c.position, c.source, c.count));
        EXPECT_EQ(Wide(text), c.expected);
        EXPECT_EQ(text.GetCachedLength(), static_cast<int32_t>(wcslen(c.expected)));
    }
}

TEST(StringInsert, EmptyInsertionsOnTheNullString) {
    CStringW countZero;
    EXPECT_TRUE(countZero.Insert(0, L"abc", 0));
    EXPECT_TRUE(countZero.IsNull());  // count 0: nothing at all happens

    CStringW appendEmpty;
    EXPECT_TRUE(appendEmpty.Append(L""));
    ASSERT_FALSE(appendEmpty.IsNull());  // an allocated empty string
    EXPECT_EQ(appendEmpty.GetCapacity(), 0);
    EXPECT_EQ(appendEmpty.GetLength(), 0);

    CStringA appendNull;
    EXPECT_TRUE(appendNull.Append(nullptr));
    EXPECT_FALSE(appendNull.IsNull());
}

TEST(StringInsert, AppendingEmptyTextToASharedBufferGivesTheWriterItsOwn) {
    CStringW text(L"shared");
    CStringW sharer(text);
    EXPECT_TRUE(text.Append(L""));
    EXPECT_NE(text.GetBuffer(), sharer.GetBuffer());
    EXPECT_EQ(sharer.GetRefCount(), 1);
    EXPECT_EQ(text.GetCapacity(), 6);  // exactly the length
    EXPECT_EQ(Wide(text), L"shared");
}

// --- Equality ------------------------------------------------------------

TEST(StringEquality, ComparesOrdinallyAndTellsNullFromEmpty) {
    CStringW shared(L"same");
    CStringW sharer(shared);
    CStringW null;
    CStringW otherNull;
    CStringW allocatedEmpty(L"");
    CStringW upperA(L"A");
    CStringW lowerA(L"a");
    CStringW abc(L"abc");
    CStringW abcCopy(L"abc");
    CStringW abd(L"abd");
    CStringW ab(L"ab");
    CStringW high(L"\u00E9");
    CStringW highOther(L"\uFF21");
    struct Case {
        const CStringW& a;
        const CStringW& b;
        bool equal;
        const char* what;
    };
    const Case cases[] = {
        {shared, sharer, true, "one shared buffer"},
        {null, otherNull, true, "two null strings"},
        {null, allocatedEmpty, false, "null and allocated empty"},
        {lowerA, upperA, false, "case matters"},
        {abc, abcCopy, true, "same text, two buffers"},
        {abc, abd, false, "last character differs"},
        {ab, abc, false, "a prefix"},
        {abc, null, false, "text and null"},
        {high, highOther, false, "code units above 0x7F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.a == c.b, c.equal);
        EXPECT_EQ(c.b == c.a, c.equal);
        EXPECT_EQ(c.a != c.b, !c.equal);
    }
    EXPECT_TRUE(CStringA("\xE9") == CStringA("\xE9"));
    EXPECT_FALSE(CStringA("\xE9") == CStringA("\x69"));
}

// --- Length caching ------------------------------------------------------

TEST(StringLength, CountsOnceThenUsesTheCache) {
    CStringW text;
    wchar_t* buffer = text.Reserve(8);
    ASSERT_NE(buffer, nullptr);
    wcscpy(buffer, L"four");
    EXPECT_EQ(text.GetCachedLength(), -1);
    EXPECT_EQ(text.GetLength(), 4);
    EXPECT_EQ(text.GetCachedLength(), 4);

    // The cache is trusted: a write behind its back is not seen until the
    // next Reserve marks the length unknown again.
    buffer[2] = 0;
    EXPECT_EQ(text.GetLength(), 4);
    text.Reserve(0);
    EXPECT_EQ(text.GetLength(), 2);
}

// --- Conversions ---------------------------------------------------------

TEST(StringConversion, ToUtf8EncodesAndReservesThreeBytesPerCodeUnit) {
    struct Case {
        const wchar_t* text;
        const char* utf8;
        int32_t capacity;
    };
    const Case cases[] = {
        {L"\u00E9", "\xC3\xA9", 6},                      // two-byte sequence
        {L"\U0001F600", "\xF0\x9F\x98\x80", 9},          // a surrogate pair is one sequence
        {L"A\u20AC", "A\xE2\x82\xAC", 9},                // ASCII and a three-byte sequence
        {L"", "", 3},                                    // empty text is allocated
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        CStringA utf8 = Simple::ToUtf8(c.text);
        ASSERT_FALSE(utf8.IsNull());
        EXPECT_EQ(Bytes(utf8), c.utf8);
        EXPECT_EQ(utf8.GetCapacity(), c.capacity);
        EXPECT_EQ(utf8.GetCachedLength(), -1);
        EXPECT_EQ(utf8.GetLength(), static_cast<int32_t>(strlen(c.utf8)));
    }
    EXPECT_TRUE(Simple::ToUtf8(nullptr).IsNull());
    EXPECT_TRUE(Simple::ToUtf8(CStringW()).IsNull());
}

TEST(StringConversion, ToUtf8MatchesThePlatformAndFromUtf8ReversesIt) {
    // Every BMP code unit outside the surrogates, then a spread of
    // supplementary characters as surrogate pairs: three UTF-8 bytes per
    // code unit is the worst case the capacity must hold.
    std::wstring all;
    for (unsigned unit = 1; unit <= 0xFFFF; unit++)
        if (unit < 0xD800 || unit > 0xDFFF)
            all.push_back(static_cast<wchar_t>(unit));
    for (unsigned point = 0x10000; point <= 0x10FFFF; point += 0x3FF) {
        all.push_back(static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10)));
        all.push_back(static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    }
    const std::wstring texts[] = {
        L"C:\\Plug-ins\\Caf\u00E9 \u00DCber.dll",  // a path as hosts send it
        std::wstring(3000, L'\u4E2D'),              // all three-byte characters
        all,
    };
    for (const std::wstring& text : texts) {
        SCOPED_TRACE(testing::Message() << text.size() << " code units");
        CStringA utf8 = Simple::ToUtf8(text.c_str());
        EXPECT_EQ(Bytes(utf8), PlatformUtf8(text));
        EXPECT_EQ(utf8.GetCapacity(), 3 * static_cast<int32_t>(text.size()) + 3);
        CStringW back = Simple::FromUtf8(utf8);
        EXPECT_TRUE(Wide(back) == text);
        EXPECT_EQ(back.GetCapacity(), utf8.GetLength() + 1);
        EXPECT_EQ(back.GetCachedLength(), -1);
    }
}

TEST(StringConversion, FromUtf8OfNullAndEmpty) {
    EXPECT_TRUE(Simple::FromUtf8(nullptr).IsNull());
    CStringW empty = Simple::FromUtf8("");
    ASSERT_FALSE(empty.IsNull());
    EXPECT_EQ(empty.GetLength(), 0);
    EXPECT_EQ(empty.GetCapacity(), 1);
}

TEST(StringConversion, WidenBytesKeepsEveryByteAsOneCodeUnit) {
    char bytes[256];
    for (int i = 1; i <= 255; i++)
        bytes[i - 1] = static_cast<char>(i);
    bytes[255] = 0;
    CStringW wide = Simple::WidenBytes(bytes);
    ASSERT_FALSE(wide.IsNull());
    ASSERT_EQ(wide.GetLength(), 255);
    for (int i = 1; i <= 255; i++)
        EXPECT_EQ(static_cast<unsigned>(wide.GetBuffer()[i - 1]), static_cast<unsigned>(i)) << "byte " << i;
    EXPECT_EQ(wide.GetCapacity(), 2 * 255 + 1);

    EXPECT_EQ(Wide(Simple::WidenBytes("\xE9")), L"\u00E9");
    EXPECT_TRUE(Simple::WidenBytes(nullptr).IsNull());
    CStringW empty = Simple::WidenBytes("");
    EXPECT_FALSE(empty.IsNull());
    EXPECT_EQ(empty.GetLength(), 0);
}

// --- Formatting ----------------------------------------------------------

TEST(StringFormat, FollowsTheMicrosoftWideConventions) {
    CStringW null;
    CStringW allocatedEmpty(L"");
    CStringW name(L"Caf\u00E9");
    struct Case {
        CStringW result;
        const wchar_t* expected;
    };
    // Strings go into the argument list as their character pointers, as the
    // server passes them.
    const Case cases[] = {
        {Simple::FormatString(L"%s", null.GetBuffer()), L"(null)"},             // null string
        {Simple::FormatString(L"[%s]", allocatedEmpty.GetBuffer()), L"[]"},     // allocated empty
        {Simple::FormatString(L"'%s'", name.GetBuffer()), L"'Caf\u00E9'"},      // "%s" is wide
        {Simple::FormatString(L"%S", "Caf\xE9\xFF"), L"Caf\u00E9\u00FF"},       // "%S" bytes, one unit each
        {Simple::FormatString(L"%S", "\x80\x9F"), L"\u0080\u009F"},            // C1 range too
        {Simple::FormatString(L"%i", 42), L"42"},
        {Simple::FormatString(L"%i", -7), L"-7"},                               // negative
        {Simple::FormatString(L"%i", INT_MIN), L"-2147483648"},
        {Simple::FormatString(L"%.8X", 0xABCDu), L"0000ABCD"},                  // zero-padded, upper case
        {Simple::FormatString(L"%.8X", 0xDEADBEEFu), L"DEADBEEF"},
#if defined(__x86_64__)
        {Simple::FormatString(L"%p", reinterpret_cast<void*>(0x1A4)), L"00000000000001A4"},  // 16 digits, no 0x
        {Simple::FormatString(L"%p", reinterpret_cast<void*>(0x7FF6ABCDEF01ull)), L"00007FF6ABCDEF01"},
#else
        {Simple::FormatString(L"%p", reinterpret_cast<void*>(0x1A4)), L"000001A4"},  // 8 digits on x86
#endif
        {Simple::FormatString(L"%.4x", 0xABu), L"00ab"},                        // lower case
        {Simple::FormatString(L"%.2i-%.4i", 5, 7), L"05-0007"},
        {Simple::FormatString(L"Found shell: %.8X - %S\n", 0x1F, "Sub"), L"Found shell: 0000001F - Sub\n"},
        {Simple::FormatString(L"100%%"), L"100%"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "expected '" << Simple::ToUtf8(c.expected).GetBuffer() << "'");
        ASSERT_FALSE(c.result.IsNull());
        EXPECT_TRUE(Wide(c.result) == c.expected)
            << "got '" << Simple::ToUtf8(c.result).GetBuffer() << "'";
    }
}

TEST(StringFormat, AStringObjectPassesAsItsPointer) {
    CStringW name(L"plugin.dll");
    CStringW null;
    EXPECT_EQ(Wide(Simple::FormatString(L"'%s'", name)), L"'plugin.dll'");
    EXPECT_EQ(Wide(Simple::FormatString(L"%s", null)), L"(null)");
    CStringA bytes("x\xE9");
    EXPECT_EQ(Wide(Simple::FormatString(L"%S|%s|%i", bytes, name, 3)), L"x\u00E9|plugin.dll|3");
}

TEST(StringFormat, ResultIsAllocatedAndSizedToTheText) {
    CStringW empty = Simple::FormatString(L"");
    ASSERT_FALSE(empty.IsNull());
    EXPECT_EQ(empty.GetLength(), 0);

    CStringW number = Simple::FormatString(L"%i", 12345);
    EXPECT_EQ(number.GetCachedLength(), -1);  // counted on first use
    EXPECT_EQ(number.GetLength(), 5);
    EXPECT_EQ(number.GetCapacity(), 6);  // the measured length plus one

    std::wstring longText(20000, L'\u00E9');
    CStringW formatted = Simple::FormatString(L"<%s>", longText.c_str());
    EXPECT_EQ(Wide(formatted), L"<" + longText + L">");
}

}  // namespace
