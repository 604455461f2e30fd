// Plug-in code is called so that an exception escaping it goes to the
// process's unhandled-exception filter, whose answer stands. That the C
// runtime's start-up frame no longer gets a say is shown by CrashDumpTest's
// rows for gcc_throw_entry.dll and segv_ignored.dll; this file shows that a
// plug-in's own filter keeps its say.
#include "server/PluginCall.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/ScanSession.h"

namespace {

using testing_support::LogOf;
using testing_support::PluginRequest;
using testing_support::ReportOf;
using testing_support::ScanSession;
using testing_support::TempFolder;

// A plug-in that installs its own filter and then faults before the server
// installs its own again gets the answer its filter gives, not the server's
// dump.
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
