#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/engine/servers/ServerProcess.h"

// Helpers for tests that run the real ScanServer.exe through host pipes.
namespace harness {

// The first line every server writes, and the prompt.
extern const char kBanner[];
extern const char kPrompt[];

// Starts the ScanServer.exe built beside the test program with a host's
// four arguments and no dump folder. The lifetime limit ends a server that
// stops answering, which breaks its pipe, so a failing test fails instead
// of hanging.
host::LaunchOptions ServerOptions(DWORD lifetimeLimitMs = 20000);

// Starts a server and expects exactly the banner and then the prompt.
testing::AssertionResult StartServer(host::ServerProcess* server,
                                     const host::LaunchOptions& options = ServerOptions());

// The lines a server wrote in answer to one request, up to the prompt.
struct Answer {
    std::vector<std::string> lines;
    bool prompted = false;  // false: the output ended first
};
Answer ReadAnswer(host::ServerProcess* server);

// A line with one of the tags of the stream: "info:", "warn:", "error:"
// or ">:".
bool IsTaggedLine(const std::string& line);

// The answer began with "info:Scanning plugin: '<request>'\n", then held
// only tagged lines (whatever the scan of that path went on to report),
// and ended with the prompt.
testing::AssertionResult ServedRequest(const Answer& answer, const std::string& request);

// The answer began with "error:<reason>\n", then held only tagged lines
// and ended with the prompt.
testing::AssertionResult RejectedRequest(const Answer& answer, const std::string& reason);

// Shows control characters and long runs readably in failure messages.
std::string Printable(const std::string& bytes);

}  // namespace harness
