// Measures, over N repetitions (default 20), the time from starting the
// scan server with its pipes to its first "ready:\n", against the time to
// start and end BareProcess.exe, and prints median and mean of each. The
// time from closing the server's input to its exit is shown as well.
//
//   StartupBenchmark [N] [DUMPFOLDER] [SERVER.exe]
//
// Hosts pass a dump folder, and with one the server also prepares its crash
// dump writer while it starts; without one (or with "") it does not.
// SERVER.exe defaults to the server beside this program.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/Samples.h"
#include "host/engine/servers/ServerProcess.h"
#include "server/Architecture.h"

namespace {

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// Start to first prompt, then closing the input to the exit. False when the
// server does not start, does not prompt after its banner, or does not end
// with exit code 0.
bool TimeServer(const host::LaunchOptions& options, double* toPrompt, double* toExit) {
    host::ServerProcess server;
    LARGE_INTEGER start = Now();
    if (!server.Start(options)) {
        fprintf(stderr, "cannot start the server (error %lu)\n", server.LastError());
        return false;
    }
    std::vector<std::string> lines;
    bool prompted = server.ReadUntilPrompt(&lines);
    LARGE_INTEGER ready = Now();
    if (!prompted || lines.size() != 1 || lines[0].rfind("info:Orvane Plugin Scan Server (", 0) != 0) {
        fprintf(stderr, "the server did not start as expected\n");
        return false;
    }
    server.CloseInput();
    server.ReadToEnd();
    DWORD exitCode = 1;
    bool ended = server.WaitForExit(30000, &exitCode);
    LARGE_INTEGER exited = Now();
    if (!ended || exitCode != 0) {
        fprintf(stderr, "the server did not end in order\n");
        return false;
    }
    *toPrompt = Milliseconds(start, ready);
    *toExit = Milliseconds(ready, exited);
    return true;
}

bool TimeBareProcess(const std::wstring& path, double* elapsed) {
    std::wstring commandLine = host::QuoteArgument(path);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    LARGE_INTEGER start = Now();
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        fprintf(stderr, "cannot start %ls (error %lu)\n", path.c_str(), GetLastError());
        return false;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    LARGE_INTEGER ended = Now();
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    *elapsed = Milliseconds(start, ended);
    return true;
}

void PrintRow(const char* what, const std::vector<double>& samples) {
    Summary summary = Summarise(samples);
    printf("%-44s %9.1f %9.1f\n", what, summary.median, summary.mean);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int repetitions = argc > 1 ? _wtoi(argv[1]) : 20;
    if (repetitions < 1) {
        fprintf(stderr, "usage: StartupBenchmark [REPETITIONS] [DUMPFOLDER] [SERVER.exe]\n");
        return 1;
    }
    host::LaunchOptions options;
    options.serverPath = host::ExecutableFolder() + SERVER_FILE_NAME;
    options.lifetimeLimitMs = 60000;
    if (argc > 2)
        options.dumpFolder = argv[2];
    if (argc > 3)
        options.serverPath = argv[3];
    std::wstring barePath = host::ExecutableFolder() + L"BareProcess.exe";

    // One unmeasured round first: the first start of each program also pays
    // for loading its DLLs from disk.
    double toPrompt = 0, toExit = 0, bare = 0;
    if (!TimeServer(options, &toPrompt, &toExit) || !TimeBareProcess(barePath, &bare))
        return 1;

    std::vector<double> serverToPrompt, serverToExit, bareToExit;
    // Alternating the two spreads any drift of the machine over both.
    for (int i = 0; i < repetitions; i++) {
        if (!TimeServer(options, &toPrompt, &toExit) || !TimeBareProcess(barePath, &bare))
            return 1;
        serverToPrompt.push_back(toPrompt);
        serverToExit.push_back(toExit);
        bareToExit.push_back(bare);
    }
    printf("%d repetitions, milliseconds                   median      mean\n", repetitions);
    PrintRow("server: start to first \"ready:\\n\"", serverToPrompt);
    PrintRow("bare process: start to exit", bareToExit);
    PrintRow("server: input closed to exit", serverToExit);
    return 0;
}
