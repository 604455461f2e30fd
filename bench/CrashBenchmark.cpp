// Measures, over N repetitions (default 10) for each plug-in, how long a
// crash takes: the server is started with a dump folder and asked to scan a
// plug-in that faults in its entry point or on its thread, and the time runs from the line "Calling entry
// point..." (written just before the call) to the end of the server's output
// (the host's first sign of the crash) and to the server's exit. Prints the
// median and mean of those times and of the dump's size. The request goes
// out half a second after the first prompt: a host's server has mostly been
// running a while when a plug-in crashes it, and its dump writer is ready.
//
//   CrashBenchmark [N] [SERVER.exe] [PLUGIN.dll...]
//
// SERVER.exe defaults to the server beside this program; without a
// PLUGIN.dll it times the kit's plain fault (crash_entry.dll) and its faults
// with the process heap broken or locked and with the loader's lock held,
// from plugins\ beside it.
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

constexpr DWORD kIdleBeforeCrashMs = 500;

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// A fresh folder for one crash's dump; emptied and removed afterwards.
std::wstring MakeDumpFolder(int round) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring folder = std::wstring(base) + L"crash-benchmark-" +
                          std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(round);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

// The size of the one file in folder, which is then removed with its
// folder; -1 when there is not exactly one.
double TakeDumpSize(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    int files = 0;
    double size = -1;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            files++;
            size = static_cast<double>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) |
                                       data.nFileSizeLow);
            DeleteFileW((folder + L"\\" + name).c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
    return files == 1 ? size : -1;
}

struct Crash {
    double faultToPipeEndMs;
    double faultToExitMs;
    double dumpBytes;
};

bool TimeCrash(const std::wstring& server, const std::wstring& plugin, int round, Crash* crash) {
    host::LaunchOptions options;
    options.serverPath = server;
    options.dumpFolder = MakeDumpFolder(round);
    options.lifetimeLimitMs = 120000;
    host::ServerProcess process;
    std::vector<std::string> banner;
    if (!process.Start(options) || !process.ReadUntilPrompt(&banner)) {
        fprintf(stderr, "cannot start %ls\n", server.c_str());
        return false;
    }
    Sleep(kIdleBeforeCrashMs);
    process.WriteLine(host::ToUtf8(plugin));
    LARGE_INTEGER called = {};
    std::string line;
    while (process.ReadLine(&line)) {
        if (line == "info:Calling entry point...\n")
            called = Now();
    }
    LARGE_INTEGER pipeEnded = Now();
    DWORD exitCode = 0;
    bool ended = process.WaitForExit(120000, &exitCode);
    LARGE_INTEGER exited = Now();
    crash->dumpBytes = TakeDumpSize(options.dumpFolder);
    if (!called.QuadPart || !ended || exitCode != 9) {
        fprintf(stderr, "the server did not crash as expected (exit code %lu)\n", exitCode);
        return false;
    }
    crash->faultToPipeEndMs = Milliseconds(called, pipeEnded);
    crash->faultToExitMs = Milliseconds(called, exited);
    return true;
}

void PrintRow(const char* what, const std::vector<double>& samples) {
    Summary summary = Summarise(samples);
    printf("%-36s %12.1f %12.1f\n", what, summary.median, summary.mean);
}

// The plug-ins timed when none is named.
const wchar_t* const kDefaultPlugins[] = {L"crash_entry.dll", L"heap_overrun.dll", L"heap_locked.dll",
                                          L"heap_locked_thread.dll", L"loader_locked.dll"};

// Times repetitions crashes of one plug-in and prints their summary.
bool TimePlugin(const std::wstring& server, const std::wstring& plugin, int repetitions) {
    std::vector<double> faultToPipeEnd, faultToExit, dumpSize;
    for (int i = 0; i < repetitions; i++) {
        Crash crash;
        if (!TimeCrash(server, plugin, i, &crash))
            return false;
        faultToPipeEnd.push_back(crash.faultToPipeEndMs);
        faultToExit.push_back(crash.faultToExitMs);
        dumpSize.push_back(crash.dumpBytes / 1024.0);
    }
    printf("%ls\n", plugin.c_str());
    printf("%d crashes                                  median         mean\n", repetitions);
    PrintRow("fault to end of output, ms", faultToPipeEnd);
    PrintRow("fault to exit, ms", faultToExit);
    PrintRow("dump size, KiB", dumpSize);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int repetitions = argc > 1 ? _wtoi(argv[1]) : 10;
    std::wstring server = argc > 2 ? argv[2] : host::ExecutableFolder() + SERVER_FILE_NAME;
    if (repetitions < 1) {
        fprintf(stderr, "usage: CrashBenchmark [N] [SERVER.exe] [PLUGIN.dll...]\n");
        return 1;
    }
    std::vector<std::wstring> plugins(argv + std::min(argc, 3), argv + argc);
    if (plugins.empty()) {
        for (const wchar_t* name : kDefaultPlugins)
            plugins.push_back(host::ExecutableFolder() + L"plugins\\" + name);
    }
    for (const std::wstring& plugin : plugins) {
        if (!TimePlugin(server, plugin, repetitions))
            return 1;
    }
    return 0;
}
