// Once a fault has reached the crash filter, the crash wins: whatever the
// host sends next, and whatever another thread does, the server writes no
// further line and ends with exit code 9 after its dump, never with 0.
#include "server/CrashGate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/Minidump.h"
#include "tests/support/ScanSession.h"

namespace {

using testing_support::LogOf;
using testing_support::Minidump;
using testing_support::PluginRequest;
using testing_support::ReadMinidump;
using testing_support::ScanSession;
using testing_support::TempFolder;

// The dump file appears when the writer creates it, after the fault has
// reached the filter; true once it is there.
bool WaitForDumpFile(const TempFolder& folder, DWORD timeoutMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited++) {
        if (!folder.FileNames().empty())
            return true;
        Sleep(1);
    }
    return false;
}

TEST(CrashGate, AFaultBetweenRequestsWinsOverTheNextRequestAndTheHostsEnd) {
    // The dump may already be written when the request comes, or still be
    // written while the server reads it and the input closes: a few rounds
    // meet both.
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        TempFolder folder;
        ScanSession session(folder.path());
        ASSERT_TRUE(session.started());
        bool prompted = false;
        std::vector<std::string> lines = session.Scan(PluginRequest(L"late_fault.dll"), &prompted);
        ASSERT_TRUE(prompted) << LogOf(lines);  // the scan ends in order; its thread faults later

        ASSERT_TRUE(WaitForDumpFile(folder, 10000));
        session.process().WriteLine(PluginRequest(L"trivial.dll"));
        DWORD exitCode = 0;
        std::string rest = session.Finish(&exitCode);
        EXPECT_EQ(rest, "");  // neither the next request's answer nor a prompt
        EXPECT_EQ(exitCode, 9u);

        std::vector<std::wstring> files = folder.FileNames();
        ASSERT_EQ(files.size(), 1u);
        Minidump dump;
        std::string error;
        ASSERT_TRUE(ReadMinidump(folder.path() + L"\\" + files[0], &dump, &error)) << error;
        EXPECT_EQ(dump.exceptionCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
        const Minidump::Module* at = dump.ModuleAt(dump.exceptionAddress);
        ASSERT_NE(at, nullptr);
        EXPECT_EQ(at->name, L"late_fault.dll");
    }
}

TEST(CrashGate, AnotherThreadsExitWaitsForTheCrashInProgress) {
    // The plug-in's thread calls exit(0) 20 ms after the fault, while the
    // dump is written; msvcrt's exit is the server's own way out too.
    TempFolder folder;
    ScanSession session(folder.path());
    ASSERT_TRUE(session.started());
    bool prompted = true;
    std::vector<std::string> lines = session.Scan(PluginRequest(L"exit_during_crash.dll"), &prompted);
    EXPECT_FALSE(prompted);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "info:Calling entry point...\n") << LogOf(lines);
    EXPECT_EQ(session.WaitForExitCode(), 9u);
    std::vector<std::wstring> files = folder.FileNames();
    ASSERT_EQ(files.size(), 1u);
    Minidump dump;
    std::string error;
    EXPECT_TRUE(ReadMinidump(folder.path() + L"\\" + files[0], &dump, &error)) << error;
}

}  // namespace
