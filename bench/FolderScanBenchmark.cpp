// The folder scan benchmark: a corpus of plug-in files (copies of kit
// plug-ins under names of their own: 1 % crashing, two hanging, one shell,
// the rest plain) scanned by the engine with one server and with two, the
// same corpus scanned the way many hosts do it (a fresh server process for
// every plug-in, waited for to the end), and a second run that finds
// everything in the results file. Then a mixed corpus, every other file a
// copy of the x86 kit's plug-in (scanned by the x86 server), with one
// server and with two.
//
//   FolderScanBenchmark [COUNT] [TIMEOUT_SECONDS]     (default 2000 plug-ins, 3 s)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/Folders.h"
#include "host/engine/Scanner.h"
#include "host/engine/servers/ServerProcess.h"

namespace {

struct Corpus {
    std::wstring root;
    std::wstring folder;  // the plug-ins
    std::vector<std::wstring> files;
    int hanging = 0;
    int x86 = 0;
};

bool MakeCorpus(int count, bool mixed, Corpus* corpus) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    corpus->root = std::wstring(temp) + L"folder-scan-bench-" + std::to_wstring(GetCurrentProcessId()) +
                   (mixed ? L"-mixed" : L"");
    corpus->folder = corpus->root + L"\\plugins";
    if (!CreateDirectoryW(corpus->root.c_str(), nullptr) || !CreateDirectoryW(corpus->folder.c_str(), nullptr))
        return false;
    std::wstring kit = host::ExecutableFolder() + L"plugins\\";
    std::wstring kit32 = host::ExecutableFolder() + L"plugins-x86\\";
    int crashing = count / 100;
    for (int i = 0; i < count; i++) {
        // Crashes spread evenly, the hangs and the shell somewhere inside.
        const wchar_t* source = L"trivial.dll";
        if (crashing && i % (count / crashing) == count / crashing / 2)
            source = L"crash_entry.dll";
        else if (i == count / 3 || i == 2 * count / 3)
            source = L"hang_entry.dll";
        else if (i == count / 2)
            source = L"shell.dll";
        corpus->hanging += source == std::wstring(L"hang_entry.dll");
        wchar_t name[32];
        swprintf(name, 32, L"\\Plugin%05d.dll", i);
        std::wstring path = corpus->folder + name;
        bool x86 = mixed && i % 2;
        corpus->x86 += x86;
        if (!CopyFileW(((x86 ? kit32 : kit) + source).c_str(), path.c_str(), FALSE))
            return false;
        corpus->files.push_back(path);
    }
    return true;
}

struct Timing {
    int launched = 0;  // server processes the engine started
    double seconds = 0;
    double hungSeconds = 0;  // waited for plug-ins that never answered
    int plugins = 0;
    int timedOut = 0;
    int crashed = 0;
    int ok = 0;
};

// Plug-ins per second, leaving out the plug-ins that hung and the time
// spent waiting for them (with several servers that time overlaps other
// work, so the figure is a lower bound there).
double RateWithoutHangs(const Timing& timing, int jobs) {
    double seconds = timing.seconds - timing.hungSeconds / jobs;
    return seconds > 0 ? (timing.plugins - timing.timedOut) / seconds : 0;
}

bool ScanWithEngine(const Corpus& corpus, int jobs, DWORD timeoutMs, const std::wstring& results,
                    Timing* timing) {
    host::ScanOptions options;
    options.inputs = {corpus.folder};
    options.resultsPath = results;
    options.dumpFolder = corpus.root + L"\\dumps";
    options.jobs = jobs;
    options.timeoutMs = timeoutMs;
    host::Scanner scanner(options);
    scanner.onWarning = [](const std::string& text) { fprintf(stderr, "warning: %s\n", text.c_str()); };
    double start = Now();
    bool ran = scanner.Run();
    timing->seconds = Now() - start;
    if (!ran) {
        fprintf(stderr, "the scan failed: %s\n", scanner.error().c_str());
        return false;
    }
    timing->plugins = static_cast<int>(scanner.scanned().size());
    timing->launched = scanner.serversLaunched();
    for (const host::PluginRecord& record : scanner.scanned()) {
        if (record.status == host::Status::TimedOut) {
            timing->timedOut++;
            timing->hungSeconds += record.durationMs / 1000.0;
        }
        timing->crashed += record.status == host::Status::Crashed;
        timing->ok += record.status == host::Status::Ok;
    }
    return true;
}

// One server per plug-in, started, asked, told to end and waited for, as a
// host does that keeps no server between plug-ins. A server that does not
// answer in time is ended.
bool ScanProcessPerPlugin(const Corpus& corpus, DWORD timeoutMs, Timing* timing) {
    host::LaunchOptions options;
    options.serverPath = host::ExecutableFolder() + L"ScanServer.exe";
    options.dumpFolder = corpus.root + L"\\dumps-peer";
    options.separatePluginOutput = true;
    CreateDirectoryW(options.dumpFolder.c_str(), nullptr);
    double start = Now();
    for (const std::wstring& file : corpus.files) {
        host::ServerProcess server;
        // Wine refuses a process now and then (ERROR_INTERNAL_ERROR) when
        // thousands are started in a row; a host would try again.
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; attempt++)
            started = server.Start(options) || (Sleep(100), false);
        if (!started) {
            fprintf(stderr, "cannot start the server (error %lu)\n", server.LastError());
            return false;
        }
        double began = Now();
        uint64_t deadline = GetTickCount64() + timeoutMs;
        std::string line;
        bool prompted = false;
        bool answered = false;
        server.WriteLine(host::ToUtf8(file), deadline);
        for (host::LineWait wait; (wait = server.NextLine(&line, deadline)) == host::LineWait::Line;) {
            if (line == "ready:\n") {
                if (prompted) {
                    answered = true;
                    break;
                }
                prompted = true;
            }
        }
        if (!answered && !server.HasExited() && GetTickCount64() >= deadline) {
            timing->timedOut++;
            timing->hungSeconds += Now() - began;
            server.Kill();
        } else {
            server.CloseInput();
            DWORD code = 0;
            if (!server.WaitForExit(60000, &code))
                server.Kill();
            timing->crashed += code == 9;
            timing->ok += answered;
        }
        timing->plugins++;
    }
    timing->seconds = Now() - start;
    return true;
}

void PrintTiming(const char* what, const Timing& timing, int jobs) {
    printf("%-44s %8.1f s  %7.1f plug-ins/s  %7.1f without hangs   (ok %d, crashed %d, timed out %d",
           what, timing.seconds, timing.plugins / timing.seconds, RateWithoutHangs(timing, jobs),
           timing.ok, timing.crashed, timing.timedOut);
    if (timing.launched)
        printf("; %d servers started", timing.launched);
    printf(")\n");
}

// Scans the corpus with the engine into results (a file in the corpus's
// folder) and prints its row; false when the scan could not run.
bool TimeEngine(const char* what, const Corpus& corpus, int jobs, DWORD timeoutMs, const wchar_t* results,
                Timing* timing) {
    if (!ScanWithEngine(corpus, jobs, timeoutMs, corpus.root + L"\\" + results, timing))
        return false;
    PrintTiming(what, *timing, jobs);
    fflush(stdout);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int count = argc > 1 ? _wtoi(argv[1]) : 2000;
    double timeoutSeconds = argc > 2 ? _wtof(argv[2]) : 3.0;
    DWORD timeoutMs = static_cast<DWORD>(timeoutSeconds * 1000);
    if (count < 10) {
        fprintf(stderr, "usage: FolderScanBenchmark [COUNT >= 10] [TIMEOUT_SECONDS]\n");
        return 2;
    }
    Corpus corpus;
    if (!MakeCorpus(count, false, &corpus)) {
        fprintf(stderr, "cannot make the corpus (error %lu)\n", GetLastError());
        RemoveTree(corpus.root);
        return 1;
    }
    printf("%d plug-in files: %d crashing, %d hanging, 1 shell; time limit %.1f s\n", count, count / 100,
           corpus.hanging, timeoutSeconds);
    fflush(stdout);

    Timing one, two, peer, cached;
    bool ok = TimeEngine("engine, 1 server", corpus, 1, timeoutMs, L"one.json", &one) &&
              TimeEngine("engine, 2 servers", corpus, 2, timeoutMs, L"two.json", &two);
    ok = ok && ScanProcessPerPlugin(corpus, timeoutMs, &peer);
    if (ok)
        PrintTiming("a fresh server process per plug-in", peer, 1);
    fflush(stdout);
    ok = ok && ScanWithEngine(corpus, 2, timeoutMs, corpus.root + L"\\two.json", &cached);
    if (ok) {
        printf("%-44s %8.2f s  (%d plug-ins scanned again)\n", "second run, everything in the results file",
               cached.seconds, cached.plugins);
        printf("2 servers against 1:                        %5.2fx (%5.2fx without hangs)\n",
               one.seconds / two.seconds, RateWithoutHangs(two, 2) / RateWithoutHangs(one, 1));
        printf("1 server against a process per plug-in:     %5.2fx (%5.2fx without hangs)\n",
               peer.seconds / one.seconds, RateWithoutHangs(one, 1) / RateWithoutHangs(peer, 1));
    }
    RemoveTree(corpus.root);
    fflush(stdout);

    Corpus mixed;
    ok = ok && MakeCorpus(count, true, &mixed);
    if (ok)
        printf("mixed corpus: %d x64 and %d x86 plug-in files, the same kinds\n", count - mixed.x86, mixed.x86);
    Timing mixedOne, mixedTwo;
    ok = ok && TimeEngine("mixed, engine, 1 lane", mixed, 1, timeoutMs, L"one.json", &mixedOne) &&
         TimeEngine("mixed, engine, 2 lanes", mixed, 2, timeoutMs, L"two.json", &mixedTwo);
    RemoveTree(mixed.root);
    return ok ? 0 : 1;
}
