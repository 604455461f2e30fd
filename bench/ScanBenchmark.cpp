// Drives the real server through its pipes with kit plug-ins and
// prints, in one run:
//   - scans per second through the server;
//   - the floor of the same work: the same DLL loaded, entered, asked the
//     same questions, closed and freed in this process, plus as many
//     flushed pipe lines as the server writes per scan;
//   - the ratio of the two;
//   - the server's working set and handle count after 1 000 and after
//     10 000 requests;
// for the plain kit plug-in and for one that imports the system DLLs a
// plug-in with an editor imports, each through a server of its own, their
// rounds alternating; or for the one plug-in named.
//
//   ScanBenchmark [PLUGIN.dll] [REQUESTS]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host/engine/servers/ServerProcess.h"
#include "scan/vst2/Vst2.h"
#include "server/Architecture.h"

namespace {

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

VstIntPtr QuietHost(AEffect*, int32_t opcode, int32_t, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

// What the server does with the plug-in, without the server.
bool ProbeInProcess(const std::wstring& path) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module)
        return false;
    auto entry = reinterpret_cast<PluginEntryFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "VSTPluginMain")));
    AEffect* effect = entry ? entry(QuietHost) : nullptr;
    if (effect) {
        char text[kVstStringBufferSize] = {};
        const int32_t strings[] = {effGetEffectName, effGetVendorString, effGetProductString};
        for (int32_t opcode : strings)
            effect->dispatcher(effect, opcode, 0, 0, text, 0.0f);
        effect->dispatcher(effect, effGetPlugCategory, 0, 0, nullptr, 0.0f);
        const char* queries[] = {"receiveVstMidiEvent", "receiveVstEvents", "sendVstMidiEvent",
                                 "sendVstEvents"};
        for (const char* query : queries)
            effect->dispatcher(effect, effCanDo, 0, 0, const_cast<char*>(query), 0.0f);
        effect->dispatcher(effect, effGetVendorVersion, 0, 0, nullptr, 0.0f);
        effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
    }
    FreeLibrary(module);
    return effect != nullptr;
}

DWORD WINAPI DrainPipe(void* pipe) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    }
    return 0;
}

// The floor: `count` in-process probes, each followed by the same lines the
// server wrote for one scan, each line one write and one flush.
double FloorSeconds(const std::wstring& path, const std::vector<std::string>& lines, int count) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, nullptr, 0);
    HANDLE drainer = CreateThread(nullptr, 0, DrainPipe, readEnd, 0, nullptr);
    double start = Seconds();
    for (int i = 0; i < count; i++) {
        ProbeInProcess(path);
        for (const std::string& line : lines) {
            DWORD written = 0;
            WriteFile(writeEnd, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            FlushFileBuffers(writeEnd);
        }
    }
    double elapsed = Seconds() - start;
    CloseHandle(writeEnd);
    WaitForSingleObject(drainer, INFINITE);
    CloseHandle(drainer);
    CloseHandle(readEnd);
    return elapsed;
}

struct Usage {
    SIZE_T workingSet = 0;
    DWORD handles = 0;
};

Usage ServerUsage(HANDLE process) {
    Usage usage;
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, &counters, sizeof(counters)))
        usage.workingSet = counters.WorkingSetSize;
    usage.handles = host::CountOpenHandles(process);
    return usage;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool Scan(host::ServerProcess& server, const std::string& request, std::vector<std::string>* lines) {
    lines->clear();
    return server.WriteLine(request) && server.ReadUntilPrompt(lines);
}

// One plug-in, its server and its figures.
struct Lane {
    std::wstring plugin;
    std::string request;
    host::ServerProcess server;
    std::vector<std::string> wireLines;
    std::vector<double> serverRates;
    std::vector<double> floorRates;
    double serverSeconds = 0;
    Usage at1000;
    Usage atEnd;
    DWORD exitCode = 1;
};

// Starts the lane's server, warms it up and learns the lines one scan writes
// (the prompt included).
bool StartLane(Lane* lane) {
    lane->request = host::ToUtf8(lane->plugin);
    host::LaunchOptions options;
    options.serverPath = host::ExecutableFolder() + SERVER_FILE_NAME;
    std::vector<std::string> lines;
    if (!lane->server.Start(options) || !lane->server.ReadUntilPrompt(&lines)) {
        fprintf(stderr, "cannot start the server\n");
        return false;
    }
    for (int i = 0; i < 20; i++) {
        if (!Scan(lane->server, lane->request, &lines)) {
            fprintf(stderr, "the server ended during warm-up\n");
            return false;
        }
    }
    for (const std::string& line : lines) {
        if (line.rfind("error:", 0) == 0) {
            fprintf(stderr, "the plug-in does not scan: %s", line.c_str());
            return false;
        }
    }
    lane->wireLines = lines;
    lane->wireLines.push_back("ready:\n");
    FloorSeconds(lane->plugin, lane->wireLines, 50);  // warm-up
    return true;
}

// One round of `count` scans through the server, then one of the floor.
bool RunRound(Lane* lane, int count, int floorCount, int done) {
    std::vector<std::string> lines;
    double start = Seconds();
    for (int i = 0; i < count; i++) {
        if (!Scan(lane->server, lane->request, &lines)) {
            DWORD code = 0;
            lane->server.WaitForExit(5000, &code);
            fprintf(stderr, "the server ended at request %d with exit code %lu\n", done + i + 1, code);
            return false;
        }
    }
    double elapsed = Seconds() - start;
    lane->serverSeconds += elapsed;
    lane->serverRates.push_back(count / elapsed);
    lane->floorRates.push_back(floorCount / FloorSeconds(lane->plugin, lane->wireLines, floorCount));
    return true;
}

void FinishLane(Lane* lane) {
    lane->atEnd = ServerUsage(lane->server.process());
    lane->server.CloseInput();
    lane->server.ReadToEnd();
    lane->server.WaitForExit(10000, &lane->exitCode);
}

std::wstring FileName(const std::wstring& path) {
    return path.substr(path.find_last_of(L"\\/") + 1);
}

void PrintLane(const Lane& lane, int total, int floorRound) {
    double serverRate = Median(lane.serverRates);
    double floorRate = Median(lane.floorRates);
    printf("plug-in:              %ls\n", lane.plugin.c_str());
    printf("lines per scan:       %zu\n", lane.wireLines.size());
    printf("server:               %d scans in %.2f s; median of %zu rounds %.1f scans/s (%.3f ms/scan)\n",
           total, lane.serverSeconds, lane.serverRates.size(), serverRate, 1000.0 / serverRate);
    printf("floor (in process):   median of %zu rounds of %d: %.1f scans/s (%.3f ms/scan)\n",
           lane.floorRates.size(), floorRound, floorRate, 1000.0 / floorRate);
    printf("ratio server/floor:   %.2fx (time per scan)\n", floorRate / serverRate);
    printf("after %5d requests: working set %zu KiB, %lu handles\n", 1000, static_cast<size_t>(lane.at1000.workingSet / 1024),
           lane.at1000.handles);
    printf("after %5d requests: working set %zu KiB, %lu handles\n", total, static_cast<size_t>(lane.atEnd.workingSet / 1024),
           lane.atEnd.handles);
    printf("server exit code:     %lu\n\n", lane.exitCode);
}

}  // namespace

// Without a plug-in named: the plain kit plug-in and the one that imports
// what a plug-in with an editor imports, each through a server of its own.
// Their rounds alternate, so that both meet the same load on the machine;
// then one row each and the time per scan of the second against the first.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> plugins;
    if (argc > 1)
        plugins.push_back(argv[1]);
    else
        plugins = {host::ExecutableFolder() + L"plugins\\trivial.dll",
                   host::ExecutableFolder() + L"plugins\\gui_imports.dll"};
    int total = argc > 2 ? _wtoi(argv[2]) : 10000;
    if (total < 1000)
        total = 1000;

    std::vector<Lane> lanes(plugins.size());
    for (size_t i = 0; i < lanes.size(); i++) {
        lanes[i].plugin = plugins[i];
        if (!StartLane(&lanes[i]))
            return 1;
    }
    // The server's scans and the floor alternate in rounds of 1000 and 200,
    // so that both meet the same load on the machine; the medians of the
    // rounds are compared.
    const int kRound = 1000;
    const int kFloorRound = 200;
    for (int done = 0; done < total;) {
        int round = total - done < kRound ? total - done : kRound;
        for (Lane& lane : lanes) {
            if (!RunRound(&lane, round, kFloorRound, done))
                return 1;
            if (done + round == kRound)
                lane.at1000 = ServerUsage(lane.server.process());
        }
        done += round;
    }
    for (Lane& lane : lanes) {
        FinishLane(&lane);
        PrintLane(lane, total, kFloorRound);
    }

    printf("| plug-in | scans/s | ms/scan | floor ms/scan | server/floor | KiB, handles after 1000 | after %d |\n",
           total);
    printf("|---|---|---|---|---|---|---|\n");
    for (const Lane& lane : lanes) {
        double serverRate = Median(lane.serverRates);
        double floorRate = Median(lane.floorRates);
        printf("| %ls | %.1f | %.3f | %.3f | %.2fx | %zu, %lu | %zu, %lu |\n", FileName(lane.plugin).c_str(),
               serverRate, 1000.0 / serverRate, 1000.0 / floorRate, floorRate / serverRate,
               static_cast<size_t>(lane.at1000.workingSet / 1024), lane.at1000.handles,
               static_cast<size_t>(lane.atEnd.workingSet / 1024), lane.atEnd.handles);
    }
    if (lanes.size() == 2)
        printf("%ls against %ls: %.2fx the time per scan\n", FileName(lanes[1].plugin).c_str(),
               FileName(lanes[0].plugin).c_str(), Median(lanes[0].serverRates) / Median(lanes[1].serverRates));
    for (const Lane& lane : lanes)
        if (lane.exitCode != 0)
            return 1;
    return 0;
}
