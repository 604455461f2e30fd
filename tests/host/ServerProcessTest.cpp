// The launcher's pipes as a scanner uses them: overlapped reads that outlive
// the thread that started them, and a server's end that waits for no one.
#include "host/engine/servers/ServerProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/support/ServerHarness.h"

namespace {

TEST(ServerProcess, AServerStartedOnAThreadThatHasEndedIsStillRead) {
    // The read that Start leaves pending belongs to the starting thread,
    // and ends with it: a scanner hands servers from lane to reaper.
    host::ServerProcess server;
    host::LaunchOptions options = harness::ServerOptions();
    options.separatePluginOutput = true;
    bool started = false;
    std::thread starter([&] { started = server.Start(options); });
    starter.join();
    ASSERT_TRUE(started);
    std::string line;
    ASSERT_EQ(server.NextLine(&line, GetTickCount64() + 10000), host::LineWait::Line);
    EXPECT_EQ(line, harness::kBanner);
    ASSERT_EQ(server.NextLine(&line, GetTickCount64() + 10000), host::LineWait::Line);
    EXPECT_EQ(line, harness::kPrompt);
    server.CloseInput();
    DWORD code = 1;
    EXPECT_TRUE(server.WaitForExit(10000, &code));
    EXPECT_EQ(code, 0u);
}

TEST(ServerProcess, AWaitForALineEndsAtItsDeadlineOrAtTheCallersHandle) {
    host::ServerProcess server;
    ASSERT_TRUE(harness::StartServer(&server));
    std::string line;
    // No request, so no line: the deadline ends the wait.
    ULONGLONG before = GetTickCount64();
    EXPECT_EQ(server.NextLine(&line, before + 300), host::LineWait::TimedOut);
    EXPECT_GE(GetTickCount64() - before, 290u);
    HANDLE wake[] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    DWORD woken = 9;
    EXPECT_EQ(server.NextLine(&line, 0, wake, 2, &woken), host::LineWait::Woken);
    EXPECT_EQ(woken, 1u);
    // Killed, the server's output ends at once, whatever its children hold.
    server.Terminate(3);
    EXPECT_EQ(server.NextLine(&line, GetTickCount64() + 10000), host::LineWait::Ended);
    DWORD code = 0;
    EXPECT_TRUE(server.HasExited(&code));
    EXPECT_EQ(code, 3u);
    CloseHandle(wake[0]);
    CloseHandle(wake[1]);
}

}  // namespace
