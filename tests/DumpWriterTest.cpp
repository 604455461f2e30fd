// The dump file: marked for deletion from the moment it is created, and kept
// only once the dump is written whole, so that a dump cut short (or one
// DbgHelp failed to write) leaves no file behind.
#include "server/DumpWriter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/ScanSession.h"

namespace {

using testing_support::LogOf;
using testing_support::PluginRequest;
using testing_support::ScanSession;
using testing_support::TempFolder;

std::string ReadAll(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buffer[64];
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(file);
    return std::string(buffer, got);
}

struct FileCase {
    bool earlierFile;  // a file of the same name is there before
    bool keep;
    const char* left;  // what the name holds once the handle is closed
};

TEST(DumpFile, IsLeftOnlyWhenKeptAndReplacesAnEarlierFile) {
    const FileCase cases[] = {
        {false, true, "MDMP whole"},   // written whole and kept
        {false, false, "<missing>"},   // never kept: gone, not a cut file
        {true, true, "MDMP whole"},    // an earlier file of that name is replaced...
        {true, false, "<missing>"},    // ...and gone too when the new one is not kept
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "earlier " << c.earlierFile << ", keep " << c.keep);
        TempFolder folder;
        std::wstring path = folder.path() + L"\\ScanServer-x64-2026-12-05-19-51-00.mdmp";
        if (c.earlierFile) {
            HANDLE earlier = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            ASSERT_NE(earlier, INVALID_HANDLE_VALUE);
            DWORD written = 0;
            WriteFile(earlier, "earlier dump", 12, &written, nullptr);
            CloseHandle(earlier);
        }
        HANDLE file = CreateDumpFile(path.c_str());
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file, "MDMP whole", 10, &written, nullptr));
        if (c.keep) {
            EXPECT_TRUE(KeepDumpFile(file));
        }
        CloseHandle(file);
        EXPECT_EQ(ReadAll(path), c.left);
    }
}

TEST(DumpWriter, AMainThreadAPluginEndsTakesTheServerWithItAtOnce) {
    // The plug-in calls ExitThread(5) in its entry point. The writer thread
    // would otherwise keep the process alive until the host's time limit.
    TempFolder folder;
    ScanSession session(folder.path());
    ASSERT_TRUE(session.started());
    bool prompted = true;
    std::vector<std::string> lines = session.Scan(PluginRequest(L"exit_thread_entry.dll"), &prompted);
    EXPECT_FALSE(prompted);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "info:Calling entry point...\n") << LogOf(lines);
    DWORD exitCode = 0;
    ASSERT_TRUE(session.process().WaitForExit(5000, &exitCode));
    EXPECT_EQ(exitCode, 5u);  // the code the plug-in gave ExitThread
    EXPECT_TRUE(folder.FileNames().empty());
}

}  // namespace
