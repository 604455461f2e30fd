#include "tests/support/ServerHarness.h"

#include <cstdio>
#include <cstring>

#include "server/Architecture.h"

namespace harness {

const char kBanner[] = "info:Orvane Plugin Scan Server (" SERVER_ARCHITECTURE_TEXT ")\n";
const char kPrompt[] = "ready:\n";

host::LaunchOptions ServerOptions(DWORD lifetimeLimitMs) {
    host::LaunchOptions options;
    options.serverPath = host::ExecutableFolder() + SERVER_FILE_NAME;
    options.lifetimeLimitMs = lifetimeLimitMs;
    return options;
}

testing::AssertionResult StartServer(host::ServerProcess* server, const host::LaunchOptions& options) {
    if (!server->Start(options))
        return testing::AssertionFailure() << "cannot start the server, error " << server->LastError();
    std::string banner;
    std::string prompt;
    if (!server->ReadLine(&banner) || banner != kBanner)
        return testing::AssertionFailure() << "first line '" << Printable(banner) << "', not the banner";
    if (!server->ReadLine(&prompt) || prompt != kPrompt)
        return testing::AssertionFailure() << "second line '" << Printable(prompt) << "', not the prompt";
    return testing::AssertionSuccess();
}

Answer ReadAnswer(host::ServerProcess* server) {
    Answer answer;
    answer.prompted = server->ReadUntilPrompt(&answer.lines);
    return answer;
}

bool IsTaggedLine(const std::string& line) {
    for (const char* tag : {"info:", "warn:", "error:", ">:"})
        if (line.compare(0, strlen(tag), tag) == 0)
            return true;
    return false;
}

namespace {

testing::AssertionResult AnsweredWith(const Answer& answer, const std::string& first) {
    if (answer.lines.empty())
        return testing::AssertionFailure() << (answer.prompted ? "only a prompt" : "no answer at all");
    if (answer.lines[0] != first)
        return testing::AssertionFailure()
               << "first line '" << Printable(answer.lines[0]) << "', expected '" << Printable(first) << "'";
    for (size_t i = 1; i < answer.lines.size(); i++)
        if (!IsTaggedLine(answer.lines[i]))
            return testing::AssertionFailure() << "untagged line " << i << ": '" << Printable(answer.lines[i]) << "'";
    if (!answer.prompted)
        return testing::AssertionFailure() << "the output ended before the prompt";
    return testing::AssertionSuccess();
}

}  // namespace

testing::AssertionResult ServedRequest(const Answer& answer, const std::string& request) {
    return AnsweredWith(answer, "info:Scanning plugin: '" + request + "'\n");
}

testing::AssertionResult RejectedRequest(const Answer& answer, const std::string& reason) {
    return AnsweredWith(answer, "error:" + reason + "\n");
}

std::string Printable(const std::string& bytes) {
    std::string shown;
    for (size_t i = 0; i < bytes.size(); i++) {
        size_t run = 1;
        while (i + run < bytes.size() && bytes[i + run] == bytes[i])
            run++;
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        std::string one;
        if (c == '\n')
            one = "\\n";
        else if (c == '\r')
            one = "\\r";
        else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            one = hex;
        } else
            one = std::string(1, static_cast<char>(c));
        if (run > 8) {
            shown += one + "{x" + std::to_string(run) + "}";
            i += run - 1;
        } else {
            shown += one;
        }
    }
    return shown;
}

}  // namespace harness
