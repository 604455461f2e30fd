#include "server/CrashDump.h"

#include <gtest/gtest.h>

#include <string>

namespace {

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}

struct PathCase {
    const wchar_t* folder;
    SYSTEMTIME time;
    const wchar_t* expected;
};

TEST(FormatCrashDumpPath, NamesTheFileByFolderPrefixAndLocalTime) {
    const PathCase cases[] = {
        {L"C:\\Dumps", Time(2026, 12, 5, 19, 51, 0),
         L"C:\\Dumps\\ScanServer-x64-2026-12-05-19-51-00.mdmp"},
        {L"C:\\Dumps", Time(2026, 1, 2, 3, 4, 5),  // every field below 10 gets its zero
         L"C:\\Dumps\\ScanServer-x64-2026-01-02-03-04-05.mdmp"},
        {L"C:\\Dumps\\", Time(2026, 12, 5, 19, 51, 0),  // a trailing backslash is kept: two in a row
         L"C:\\Dumps\\\\ScanServer-x64-2026-12-05-19-51-00.mdmp"},
        {L"D:", Time(999, 10, 11, 23, 59, 59),  // a year of 3 digits is padded to 4
         L"D:\\ScanServer-x64-0999-10-11-23-59-59.mdmp"},
        {L"D:", Time(12026, 10, 11, 23, 59, 59),  // a year of 5 digits keeps them all
         L"D:\\ScanServer-x64-12026-10-11-23-59-59.mdmp"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "folder " << std::wstring(c.folder).size() << " chars");
        wchar_t path[300];
        ASSERT_TRUE(FormatCrashDumpPath(path, 300, c.folder, L"ScanServer-x64", c.time));
        EXPECT_EQ(std::wstring(path), std::wstring(c.expected));
    }
}

TEST(FormatCrashDumpPath, AFolderOfAnyLengthGivesTheWholeNameWhenThereIsRoom) {
    // 219 characters was the old limit of a 260-character buffer; longer
    // folders must give whole names, never cut ones.
    for (size_t length : {219u, 220u, 400u, 2000u}) {
        std::wstring folder = L"C:\\" + std::wstring(length - 3, L'f');
        std::wstring expected = folder + L"\\ScanServer-x64-2026-12-05-19-51-00.mdmp";
        std::wstring path(expected.size() + 1, L'#');
        ASSERT_TRUE(FormatCrashDumpPath(&path[0], path.size(), folder.c_str(), L"ScanServer-x64",
                                        Time(2026, 12, 5, 19, 51, 0)));
        EXPECT_EQ(std::wstring(path.c_str()), expected) << length;
    }
}

TEST(FormatCrashDumpPath, RefusesANameThatDoesNotFitAndWritesNoPartialName) {
    std::wstring folder(250, L'f');
    wchar_t path[260];
    path[0] = L'#';
    EXPECT_FALSE(FormatCrashDumpPath(path, 260, folder.c_str(), L"ScanServer-x64",
                                     Time(2026, 12, 5, 19, 51, 0)));
    EXPECT_EQ(path[0], L'\0');
    // One character short of room for the terminator is refused too.
    std::wstring exact = L"C:\\Dumps\\ScanServer-x64-2026-12-05-19-51-00.mdmp";
    std::wstring buffer(exact.size(), L'#');
    EXPECT_FALSE(FormatCrashDumpPath(&buffer[0], buffer.size(), L"C:\\Dumps", L"ScanServer-x64",
                                     Time(2026, 12, 5, 19, 51, 0)));
}

}  // namespace
