// The server process from the host's side: the real ScanServer.exe, started
// with real anonymous pipes, and the exact bytes it writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "host/engine/servers/ServerProcess.h"
#include "tests/support/ServerHarness.h"

using harness::Answer;
using harness::Printable;
using harness::ReadAnswer;
using harness::RejectedRequest;
using harness::ServedRequest;
using harness::StartServer;

namespace {

const char kTooLong[] = "Request line too long, ignored";

// Closes the input as a host does when it is done, then expects nothing
// more on the output and the orderly exit code.
void ExpectOrderlyEnd(host::ServerProcess* server) {
    server->CloseInput();
    EXPECT_EQ(Printable(server->ReadToEnd()), "");
    DWORD exitCode = 1;
    ASSERT_TRUE(server->WaitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST(RequestLoop, AnnouncesItselfPromptsAndEndsWhenTheHostCloses) {
    host::ServerProcess server;
    ASSERT_TRUE(StartServer(&server));  // exactly the banner, then "ready:\n"
    ExpectOrderlyEnd(&server);
}

TEST(RequestLoop, ServesEachLineAsOneRequest) {
    struct Case {
        std::string written;
        std::string request;
    };
    const Case cases[] = {
        {"C:\\Plug-ins\\Effect.dll\n", "C:\\Plug-ins\\Effect.dll"},
        {"C:\\Plug-ins\\Shell.dll>1F\n", "C:\\Plug-ins\\Shell.dll>1F"},  // the shell id rides along
        {"C:\\Plug-ins\\Dos.dll\r\n", "C:\\Plug-ins\\Dos.dll\r"},       // a carriage return stays
        {"\n", ""},                                                      // an empty request
        {"first.dll\nsecond.dll\n", "first.dll"},  // one read, one request: the second is lost...
        {"third.dll\n", "third.dll"},              // ...so the next answer is this line's
        {"no-feed.dll", "no-feed.dll"},            // a read without a line feed is a whole request
        {std::string("nul.dll\0tail\n", 13), "nul.dll"},  // a NUL ends the line early
        {"C:\\Caf\xC3\xA9\\\xE6\x97\xA5\xF0\x9F\x98\x80.dll\n",
         "C:\\Caf\xC3\xA9\\\xE6\x97\xA5\xF0\x9F\x98\x80.dll"},  // UTF-8 arrives unchanged
        {std::string(1022, 'a') + "\n", std::string(1022, 'a')},  // 1023 bytes: one read, whole
        {std::string(1023, 'b') + "\n", std::string(1023, 'b')},  // 1024 bytes: the read is full
        {std::string(1024, 'c') + "\n", std::string(1024, 'c')},  // one byte past one read
        {std::string(5000, 'd') + "\n", std::string(5000, 'd')},
        {std::string(65535, 'e') + "\n", std::string(65535, 'e')},  // 64 KiB with its line feed
        {"last.dll\n", "last.dll"},  // nothing of a long line is left over
    };
    host::ServerProcess server;
    ASSERT_TRUE(StartServer(&server));
    for (const Case& c : cases) {
        SCOPED_TRACE("written: '" + Printable(c.written) + "'");
        ASSERT_TRUE(server.WriteRaw(c.written));
        EXPECT_TRUE(ServedRequest(ReadAnswer(&server), c.request));
    }
    ExpectOrderlyEnd(&server);
}

TEST(RequestLoop, RefusesLinesPast64KiBAndServesTheNext) {
    const size_t lengths[] = {
        65536,   // one byte too many with its line feed
        200000,  // far past the limit
    };
    host::ServerProcess server;
    ASSERT_TRUE(StartServer(&server));
    for (size_t length : lengths) {
        SCOPED_TRACE(testing::Message() << length << " bytes and a line feed");
        ASSERT_TRUE(server.WriteRaw(std::string(length, 'L') + "\n"));
        EXPECT_TRUE(RejectedRequest(ReadAnswer(&server), kTooLong));
        ASSERT_TRUE(server.WriteLine("after.dll"));
        EXPECT_TRUE(ServedRequest(ReadAnswer(&server), "after.dll"));
    }
    ExpectOrderlyEnd(&server);
}

TEST(RequestLoop, ALongLineWrittenInPiecesIsServedWhole) {
    // A host may write a long line in several writes; the server must not
    // take the end of one write for the end of the line.
    struct Case {
        size_t firstPiece;
        size_t secondPiece;
    };
    const Case cases[] = {
        {2000, 1000},  // the second read of the line comes back short
        {1500, 0},     // the line feed alone comes later
        {1024, 10},    // the first write fills exactly one read
    };
    host::ServerProcess server;
    ASSERT_TRUE(StartServer(&server));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.firstPiece << " bytes, then " << c.secondPiece << " and the line feed");
        std::string line = std::string(c.firstPiece, 'p') + std::string(c.secondPiece, 'q');
        ASSERT_TRUE(server.WriteRaw(line.substr(0, c.firstPiece)));
        Sleep(200);  // the server has read all of the first piece by now
        ASSERT_TRUE(server.WriteRaw(line.substr(c.firstPiece) + "\n"));
        EXPECT_TRUE(ServedRequest(ReadAnswer(&server), line));
    }
    ASSERT_TRUE(server.WriteLine("next.dll"));
    EXPECT_TRUE(ServedRequest(ReadAnswer(&server), "next.dll"));  // one answer per line
    ExpectOrderlyEnd(&server);
}

TEST(RequestLoop, ALongLineCutShortByTheHostLeavingIsNotServed) {
    // Its first 1024 bytes and the rest would name a file the host never
    // asked for.
    host::ServerProcess server;
    ASSERT_TRUE(StartServer(&server));
    ASSERT_TRUE(server.WriteRaw(std::string(1500, 'm')));
    server.CloseInput();
    EXPECT_EQ(Printable(server.ReadToEnd()), "");
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST(ServerModes, WithoutAnOutputArgumentLinesGoToStandardOutput) {
    host::LaunchOptions options = harness::ServerOptions();
    options.useArgumentsTemplate = true;
    options.argumentsTemplate = L"{in}";  // arguments 2 to 4 missing
    host::ServerProcess server;
    ASSERT_TRUE(StartServer(&server, options));
    ASSERT_TRUE(server.WriteLine("C:\\Plug-ins\\Effect.dll"));
    EXPECT_TRUE(ServedRequest(ReadAnswer(&server), "C:\\Plug-ins\\Effect.dll"));
    ExpectOrderlyEnd(&server);
}

TEST(ServerModes, WithoutArgumentsTheWindowModeNeverPrompts) {
    host::LaunchOptions options = harness::ServerOptions();
    options.useArgumentsTemplate = true;
    options.argumentsTemplate = L"";
    host::ServerProcess server;
    ASSERT_TRUE(server.Start(options));
    std::string banner;
    ASSERT_TRUE(server.ReadLine(&banner));
    EXPECT_EQ(banner, harness::kBanner);  // on standard output
    // The window mode serves no requests and lasts until it is ended from
    // outside; give a wrong prompt time to show, then end it.
    EXPECT_FALSE(server.WaitForExit(1000, nullptr));
    server.Kill();
    EXPECT_EQ(Printable(server.ReadToEnd()), "");
}

}  // namespace
