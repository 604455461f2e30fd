#include "server/CrashDump.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "server/AbortSignal.h"
#include "server/Architecture.h"
#include "tests/support/Minidump.h"
#include "tests/support/ScanSession.h"

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

struct FolderCase {
    std::wstring folder;
    std::wstring expected;
};

TEST(DumpPathFolder, PrefixesDriveAndShareFoldersWhoseDumpNamesPassMaxPath) {
    const size_t name = 40;  // "\ScanServer-x64-2026-12-05-19-51-00.mdmp"
    const std::wstring longName(230, L'd');
    const FolderCase cases[] = {
        {L"C:\\Dumps", L"C:\\Dumps"},                                              // short: unchanged
        {L"C:\\" + std::wstring(216, L'd'), L"C:\\" + std::wstring(216, L'd')},         // 219 + 40 = 259: fits
        {L"C:\\" + std::wstring(217, L'd'), L"\\\\?\\C:\\" + std::wstring(217, L'd')},  // 220 + 40: prefixed
        {L"\\\\server\\share\\" + longName, L"\\\\?\\UNC\\server\\share\\" + longName},  // a share
        {L"\\\\?\\C:\\" + longName, L"\\\\?\\C:\\" + longName},                    // already prefixed
        {L"relative\\" + longName, L"relative\\" + longName},                      // cannot take the prefix
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.folder.size() << " chars");
        EXPECT_EQ(std::wstring(DumpPathFolder(c.folder.c_str(), name)), c.expected);
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

// A fault in plug-in code, through the real server: a dump in the host's
// folder and exit code 9, or no dump where none can be written.
namespace {

using testing_support::HasLine;
using testing_support::LogOf;
using testing_support::Minidump;
using testing_support::PluginRequest;
using testing_support::ReadMinidump;
using testing_support::ReportOf;
using testing_support::ScanSession;
using testing_support::TempFolder;

bool IsDumpName(const std::wstring& name) {
    return std::regex_match(name, std::wregex(L"ScanServer-" SERVER_ARCHITECTURE L"-\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d\\.mdmp"));
}

// One way a plug-in crashes the server, and what its dump must record.
struct FaultCase {
    const wchar_t* plugin;
    DWORD code;     // the exception in the dump
    bool inPlugin;  // the exception's address lies in the plug-in's image
    // A plug-in the server serves first, as a server started ahead of its
    // work (a spare, a retry's) has; null: the faulting one comes first.
    const wchar_t* servedBefore = nullptr;
    // The server's last line: the step that called the code that faulted.
    const char* lastLine = "info:Calling entry point...\n";
};

#if defined(__x86_64__)
constexpr DWORD kGccThrow = 0x20474343;
#else
// GCC's 32-bit runtime unwinds by DWARF tables: a throw that nothing catches
// calls std::terminate, whose abort() the server makes a crash.
constexpr DWORD kGccThrow = kAbortExceptionCode;
#endif
constexpr DWORD kForeignThrow = 0xE06D7363;

const FaultCase kFaults[] = {
    {L"crash_entry.dll", EXCEPTION_ACCESS_VIOLATION, true},     // in the entry point
    {L"crash_dispatch.dll", EXCEPTION_ACCESS_VIOLATION, true},  // in a dispatcher call
    {L"crash_thread.dll", EXCEPTION_ACCESS_VIOLATION, true},    // on a thread of the plug-in's own
    {L"own_filter.dll", EXCEPTION_ACCESS_VIOLATION, true},      // after its own filter was replaced again
    {L"foreign_throw_entry.dll", kForeignThrow, false},         // another compiler's C++ throw
    {L"gcc_throw_thread.dll", kGccThrow, false},                // this compiler's, on the plug-in's thread
    {L"gcc_throw_entry.dll", kGccThrow, false},                 // ...and out of the entry point
    {L"segv_ignored.dll", EXCEPTION_ACCESS_VIOLATION, true},    // with msvcrt told to ignore SIGSEGV
    {L"overflow_entry.dll", EXCEPTION_STACK_OVERFLOW, true},    // the main thread's stack used up
    {L"overflow_thread.dll", EXCEPTION_STACK_OVERFLOW, true},   // a plug-in thread's stack used up
    {L"heap_overrun.dll", EXCEPTION_ACCESS_VIOLATION, false},   // the process heap written past and freed: in the heap's code or after
    {L"heap_locked.dll", EXCEPTION_ACCESS_VIOLATION, true},     // holding the process heap's lock
    {L"heap_locked_thread.dll", EXCEPTION_ACCESS_VIOLATION, true},  // while another thread holds it
    {L"loader_locked.dll", EXCEPTION_ACCESS_VIOLATION, true},   // holding the loader's lock
    // The loader's list of modules broken, which the dispatcher walks.
    {L"loader_list_damaged.dll", EXCEPTION_ACCESS_VIOLATION, true},
    {L"loader_list_damaged_thread.dll", EXCEPTION_ACCESS_VIOLATION, true},
    // In a server that has served a plug-in already.
    {L"heap_overrun.dll", EXCEPTION_ACCESS_VIOLATION, false, L"effect.dll"},
    {L"loader_list_damaged.dll", EXCEPTION_ACCESS_VIOLATION, true, L"effect.dll"},
    // VST3 and CLAP modules: in a component's initialize, in the factory
    // after InitDll installed a filter of its own, in a plug-in's init (once
    // more with msvcrt told to ignore SIGSEGV), and in the entry's deinit as
    // the module is let go.
    {L"vst3\\CrashInstance.vst3", EXCEPTION_ACCESS_VIOLATION, true, nullptr, "info:Initializing class 0...\n"},
    {L"vst3\\OwnFilter.vst3", EXCEPTION_ACCESS_VIOLATION, true, nullptr, "info:Reading the factory info...\n"},
    {L"clap\\CrashInit.clap", EXCEPTION_ACCESS_VIOLATION, true, nullptr, "info:Calling init() of plugin 0...\n"},
    {L"clap\\SegvIgnored.clap", EXCEPTION_ACCESS_VIOLATION, true, nullptr, "info:Calling init() of plugin 0...\n"},
    {L"clap\\CrashDeinit.clap", EXCEPTION_ACCESS_VIOLATION, true, nullptr, "info:Calling clap_entry.deinit()...\n"},
};

// The file name of a plug-in path of the kit.
std::wstring FileNameOf(const wchar_t* plugin) {
    std::wstring path = plugin;
    return path.substr(path.find_last_of(L'\\') + 1);
}

TEST(CrashDump, EveryWayAPluginCrashesLeavesOneWholeDumpAndExitCodeNine) {
    for (const FaultCase& fault : kFaults) {
        SCOPED_TRACE(host::ToUtf8(fault.plugin) +
                     (fault.servedBefore ? " after " + host::ToUtf8(fault.servedBefore) : ""));
        TempFolder folder;
        ScanSession session(folder.path());
        ASSERT_TRUE(session.started());
        bool prompted = true;
        if (fault.servedBefore) {
            std::vector<std::string> served = session.Scan(PluginRequest(fault.servedBefore), &prompted);
            ASSERT_TRUE(prompted) << LogOf(served);
        }
        std::vector<std::string> lines = session.Scan(PluginRequest(fault.plugin), &prompted);
        EXPECT_FALSE(prompted);
        // Nothing after the call that crashed: no report, no runtime's last words.
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), fault.lastLine) << LogOf(lines);
        EXPECT_EQ(session.WaitForExitCode(), 9u);

        std::vector<std::wstring> files = folder.FileNames();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_TRUE(IsDumpName(files[0])) << host::ToUtf8(files[0]);
        Minidump dump;
        std::string error;
        ASSERT_TRUE(ReadMinidump(folder.path() + L"\\" + files[0], &dump, &error)) << error;
        // The dumps cut short by the process's end were 0 and 3 KiB; whole
        // ones without the Linux libraries are about 15 KiB.
        EXPECT_GT(dump.fileSize, 8u * 1024);
        EXPECT_EQ(dump.exceptionCode, fault.code);
        // The faulting thread is listed with the stack it had at the fault.
        const Minidump::Thread* thread = dump.FindThread(dump.exceptionThreadId);
        ASSERT_NE(thread, nullptr);
        EXPECT_GE(dump.exceptionStackPointer, thread->stackStart);
        EXPECT_LT(dump.exceptionStackPointer, thread->stackStart + thread->stackSize);
        const Minidump::Module* at = dump.ModuleAt(dump.exceptionAddress);
        if (fault.inPlugin) {
            ASSERT_NE(at, nullptr);
            EXPECT_EQ(at->name, FileNameOf(fault.plugin));
        }
    }
}

TEST(CrashDump, ADumpThatCannotBeFinishedStillEndsTheServerWithNineWithinSeconds) {
    // A plug-in thread faults while the entry point holds the loader's
    // lock, which Wine 8's DbgHelp waits for: the dump never finishes, and
    // the host must not wait out its own time limit for the crash.
    TempFolder folder;
    ScanSession session(folder.path());
    ASSERT_TRUE(session.started());
    ULONGLONG start = GetTickCount64();
    session.Scan(PluginRequest(L"loader_locked_thread.dll"));
    EXPECT_EQ(session.WaitForExitCode(), 9u);
    EXPECT_LT(GetTickCount64() - start, 12000u);
    // What the writer had begun of the file went with the process.
    EXPECT_TRUE(folder.FileNames().empty());
}

TEST(CrashDump, TheDumpIsNamedByTheLocalTimeOfTheFault) {
    TempFolder folder;
    ScanSession session(folder.path());
    ASSERT_TRUE(session.started());
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    session.Scan(PluginRequest(L"crash_entry.dll"));
    EXPECT_EQ(session.WaitForExitCode(), 9u);
    GetLocalTime(&after);
    std::vector<std::wstring> files = folder.FileNames();
    ASSERT_EQ(files.size(), 1u);
    wchar_t low[64], high[64];
    FormatCrashDumpPath(low, 64, L"", L"ScanServer-" SERVER_ARCHITECTURE, before);
    FormatCrashDumpPath(high, 64, L"", L"ScanServer-" SERVER_ARCHITECTURE, after);
    std::wstring name = L"\\" + files[0];
    EXPECT_LE(std::wstring(low), name);
    EXPECT_GE(std::wstring(high), name);
}

TEST(CrashDump, WithoutAUsableFolderTheServerStillEndsWithExitCodeNine) {
    TempFolder parent;
    std::wstring missing = parent.path() + L"\\does-not-exist";
    const std::wstring folders[] = {missing, L""};
    for (const std::wstring& folder : folders) {
        SCOPED_TRACE(host::ToUtf8(folder));
        ScanSession session(folder);
        ASSERT_TRUE(session.started());
        session.Scan(PluginRequest(L"crash_entry.dll"));
        EXPECT_EQ(session.WaitForExitCode(), 9u);
        // Folders are never created.
        EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_TRUE(parent.FileNames().empty());
    }
}

TEST(CrashDump, AFolderLongerThanTheOldLimitStillGetsItsDump) {
    TempFolder parent;
    std::wstring folder = parent.path() + L"\\" + std::wstring(230 - parent.path().size(), L'd');
    ASSERT_GT(folder.size(), 219u);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    {
        ScanSession session(folder);
        ASSERT_TRUE(session.started());
        session.Scan(PluginRequest(L"crash_entry.dll"));
        EXPECT_EQ(session.WaitForExitCode(), 9u);
    }
    std::vector<std::wstring> files = testing_support::ListFileNames(folder);
    // The whole name passes MAX_PATH: without the long-path prefix the
    // file could be refused, and a cut name would be worse.
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(IsDumpName(files[0])) << host::ToUtf8(files[0]);
    DeleteFileW((folder + L"\\" + files[0]).c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(CrashDump, AFaultWhileClosingIsSwallowedAndTheReportStands) {
    // An access violation, an illegal instruction, and another compiler's
    // C++ exception, each raised inside effClose.
    const wchar_t* plugins[] = {L"close_av.dll", L"close_ud2.dll", L"close_cxx.dll"};
    TempFolder folder;
    ScanSession session(folder.path());
    ASSERT_TRUE(session.started());
    for (const wchar_t* plugin : plugins) {
        SCOPED_TRACE(host::ToUtf8(plugin));
        bool prompted = false;
        std::vector<std::string> lines = session.Scan(PluginRequest(plugin), &prompted);
        ASSERT_TRUE(prompted) << LogOf(lines);
        std::string log = LogOf(lines);
        EXPECT_NE(log.find("info:Dispatching effClose...\ninfo:Freeing library...\ninfo:Finished\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("error:"), std::string::npos);
        std::string report = ReportOf(lines);
        EXPECT_NE(report.find("\"name\":      \"Close Fault\","), std::string::npos) << report;
        EXPECT_NE(report.find("\"error\":     \"\","), std::string::npos) << report;
    }
    EXPECT_TRUE(folder.FileNames().empty());
    DWORD exitCode = 1;
    session.Finish(&exitCode);
    EXPECT_EQ(exitCode, 0u);
}

}  // namespace
