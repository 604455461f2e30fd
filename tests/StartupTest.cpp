// Start-up as the host sees it: the pipe handles the host passed stay the
// host's alone, so a child process that a plug-in starts cannot keep them
// open after the server has gone.
#include "server/Startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/ScanSession.h"

namespace {

using testing_support::LogOf;
using testing_support::PluginRequest;
using testing_support::ScanSession;

// The event child_process.dll's child waits on; the child holds it open for
// as long as it runs.
std::wstring ReleaseEventName(DWORD serverProcessId) {
    return L"Local\\scan-test-release-" + std::to_wstring(serverProcessId);
}

// True once the event exists, that is while the child runs.
bool WaitForChild(const std::wstring& name, DWORD timeoutMs, HANDLE* release) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 10) {
        *release = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
        if (*release)
            return true;
        Sleep(10);
    }
    return false;
}

TEST(Startup, APluginsChildProcessDoesNotHoldThePipesOpenAfterTheServerHasGone) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    bool prompted = true;
    std::vector<std::string> lines = session.Scan(PluginRequest(L"child_process.dll"), &prompted);
    // The output has ended: the server crashed, and the host sees it.
    EXPECT_FALSE(prompted);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "info:Calling entry point...\n") << LogOf(lines);
    EXPECT_EQ(session.WaitForExitCode(), 9u);
    // ...while the child, which inherited everything it could, still runs.
    HANDLE release = nullptr;
    ASSERT_TRUE(WaitForChild(ReleaseEventName(session.process().processId()), 10000, &release));
    SetEvent(release);
    CloseHandle(release);
}

}  // namespace
