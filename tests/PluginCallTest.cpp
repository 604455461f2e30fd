// Plug-in code is called so that an exception escaping it goes to the
// process's unhandled-exception filter, whose answer stands, and never to
// the C runtime's start-up frame.
#include "server/PluginCall.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/support/ScanSession.h"

namespace {

using testing_support::LogOf;
using testing_support::PluginRequest;
using testing_support::ReportOf;
using testing_support::ScanSession;
using testing_support::TempFolder;

// A page that faults when written until a filter opens it.
volatile int* lockedPage = nullptr;
DWORD filterSaw = 0;

LONG WINAPI OpenThePageAndContinue(EXCEPTION_POINTERS* exception) {
    filterSaw = exception->ExceptionRecord->ExceptionCode;
    DWORD old = 0;
    VirtualProtect(const_cast<int*>(lockedPage), 1, PAGE_READWRITE, &old);
    return EXCEPTION_CONTINUE_EXECUTION;
}

void WriteTheLockedPage(void*) {
    *lockedPage = 42;
}

TEST(CallPluginCode, AFaultReachesTheProcessFilterEvenWithSigsegvIgnored) {
    lockedPage = static_cast<volatile int*>(
        VirtualAlloc(nullptr, 1, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
    ASSERT_NE(lockedPage, nullptr);
    // The C runtime's start-up frame would answer "continue" to this fault
    // for ever; the filter must be asked first.
    auto previousSignal = signal(SIGSEGV, SIG_IGN);
    LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(OpenThePageAndContinue);
    CallPluginCode(WriteTheLockedPage, nullptr);
    SetUnhandledExceptionFilter(previous);
    signal(SIGSEGV, previousSignal);
    EXPECT_EQ(filterSaw, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(*lockedPage, 42);  // the write ran again, now through
    VirtualFree(const_cast<int*>(lockedPage), 0, MEM_RELEASE);
}

// Through the real server: a plug-in that installs its own filter and then
// faults before the server installs its own again gets the answer its
// filter gives, not the server's dump.
TEST(CallPluginCode, APluginsOwnFilterDecidesWhatItsFaultDoes) {
    TempFolder folder;
    {
        // "Execute handler": the process ends with the fault's code, as a
        // thread's outermost frame ends it.
        ScanSession session(folder.path());
        ASSERT_TRUE(session.started());
        bool prompted = true;
        std::vector<std::string> lines = session.Scan(PluginRequest(L"filter_execute.dll"), &prompted);
        EXPECT_FALSE(prompted);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "info:Calling entry point...\n") << LogOf(lines);
        EXPECT_EQ(session.WaitForExitCode(), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    }
    {
        // "Continue execution": the repaired write runs again and the scan
        // goes on to its report.
        ScanSession session(folder.path());
        ASSERT_TRUE(session.started());
        bool prompted = false;
        std::vector<std::string> lines =
            session.Scan(PluginRequest(L"filter_continue.dll"), &prompted);
        EXPECT_TRUE(prompted) << LogOf(lines);
        EXPECT_NE(ReportOf(lines).find("\"name\":      \"Filter Continued\","), std::string::npos)
            << ReportOf(lines);
        DWORD exitCode = 1;
        session.Finish(&exitCode);
        EXPECT_EQ(exitCode, 0u);
    }
    EXPECT_TRUE(folder.FileNames().empty());
}

}  // namespace
