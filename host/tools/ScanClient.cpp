// Starts the scan server beside this program, sends it the plug-in paths
// given on the command line one at a time, and prints every line it answers.
//
//   scan-client [--dump-folder FOLDER] [--server EXE] PLUGIN [PLUGIN>ID ...]
//
// Exit code: 0 when the server answered every request and ended in order;
// otherwise the server's exit code (9 after a plug-in crashed it), or 1.
#include <cstdio>
#include <string>
#include <vector>

#include "host/engine/servers/ServerProcess.h"

namespace {

void Print(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    host::LaunchOptions options;
    options.serverPath = host::ExecutableFolder() + L"ScanServer.exe";
    std::vector<std::wstring> requests;
    for (int i = 1; i < argc; i++) {
        std::wstring argument = argv[i];
        if (argument == L"--dump-folder" && i + 1 < argc)
            options.dumpFolder = argv[++i];
        else if (argument == L"--server" && i + 1 < argc)
            options.serverPath = argv[++i];
        else
            requests.push_back(argument);
    }
    if (requests.empty()) {
        fprintf(stderr, "usage: scan-client [--dump-folder FOLDER] [--server EXE] PLUGIN [PLUGIN>ID ...]\n");
        return 1;
    }

    host::ServerProcess server;
    if (!server.Start(options)) {
        fprintf(stderr, "cannot start %ls (error %lu)\n", options.serverPath.c_str(), server.LastError());
        return 1;
    }
    std::vector<std::string> lines;
    bool alive = server.ReadUntilPrompt(&lines);
    for (const std::string& line : lines)
        Print(line);
    for (size_t i = 0; alive && i < requests.size(); i++) {
        Print("--- " + host::ToUtf8(requests[i]) + "\n");
        server.WriteLine(host::ToUtf8(requests[i]));
        lines.clear();
        alive = server.ReadUntilPrompt(&lines);
        for (const std::string& line : lines)
            Print(line);
    }
    server.CloseInput();
    Print(server.ReadToEnd());
    DWORD exitCode = 1;
    server.WaitForExit(INFINITE, &exitCode);
    Print("--- server exit code " + std::to_string(exitCode) + "\n");
    return alive && exitCode == 0 ? 0 : (exitCode ? static_cast<int>(exitCode) : 1);
}
