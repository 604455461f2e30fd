// Drives the real server through its pipes with a trivial plug-in and
// prints, in one run:
//   - scans per second through the server;
//   - the floor of the same work: the same DLL loaded, entered, asked the
//     same questions, closed and freed in this process, plus as many
//     flushed pipe lines as the server writes per scan;
//   - the ratio of the two;
//   - the server's working set and handle count after 1 000 and after
//     10 000 requests.
//
//   ScanBenchmark [PLUGIN.dll] [REQUESTS]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host/engine/ServerProcess.h"
#include "scan/Vst2.h"
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

// Wine answers GetProcessHandleCount for other processes with 0, so the
// server's open handles are counted one by one: every value that can be
// duplicated out of the server is an open handle there.
DWORD CountOpenHandles(HANDLE process) {
    DWORD count = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS)) {
            CloseHandle(copy);
            count++;
        }
    }
    return count;
}

Usage ServerUsage(HANDLE process) {
    Usage usage;
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, &counters, sizeof(counters)))
        usage.workingSet = counters.WorkingSetSize;
    usage.handles = CountOpenHandles(process);
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring plugin = argc > 1 ? argv[1] : host::ExecutableFolder() + L"plugins\\trivial.dll";
    int total = argc > 2 ? _wtoi(argv[2]) : 10000;
    if (total < 1000)
        total = 1000;
    std::string request = host::ToUtf8(plugin);

    host::LaunchOptions options;
    options.serverPath = host::ExecutableFolder() + SERVER_FILE_NAME;
    host::ServerProcess server;
    std::vector<std::string> lines;
    if (!server.Start(options) || !server.ReadUntilPrompt(&lines)) {
        fprintf(stderr, "cannot start the server\n");
        return 1;
    }
    // Warm-up, and the lines one scan writes (the prompt included).
    for (int i = 0; i < 20; i++) {
        if (!Scan(server, request, &lines)) {
            fprintf(stderr, "the server ended during warm-up\n");
            return 1;
        }
    }
    for (const std::string& line : lines) {
        if (line.rfind("error:", 0) == 0) {
            fprintf(stderr, "the plug-in does not scan: %s", line.c_str());
            return 1;
        }
    }
    std::vector<std::string> wireLines = lines;
    wireLines.push_back("ready:\n");

    // The server's scans and the floor alternate in rounds of 1000 and 200,
    // so that both meet the same load on the machine; the medians of the
    // rounds are compared.
    const int kRound = 1000;
    const int kFloorRound = 200;
    FloorSeconds(plugin, wireLines, 50);  // warm-up
    std::vector<double> serverRates;
    std::vector<double> floorRates;
    Usage at1000;
    double serverSeconds = 0;
    for (int done = 0; done < total;) {
        int round = total - done < kRound ? total - done : kRound;
        double start = Seconds();
        for (int i = 0; i < round; i++) {
            if (!Scan(server, request, &lines)) {
                DWORD code = 0;
                server.WaitForExit(5000, &code);
                fprintf(stderr, "the server ended at request %d with exit code %lu\n", done + i + 1,
                        code);
                return 1;
            }
        }
        double elapsed = Seconds() - start;
        serverSeconds += elapsed;
        serverRates.push_back(round / elapsed);
        done += round;
        if (done == kRound)
            at1000 = ServerUsage(server.process());
        floorRates.push_back(kFloorRound / FloorSeconds(plugin, wireLines, kFloorRound));
    }
    Usage atEnd = ServerUsage(server.process());
    server.CloseInput();
    server.ReadToEnd();
    DWORD exitCode = 1;
    server.WaitForExit(10000, &exitCode);

    double serverRate = Median(serverRates);
    double floorRate = Median(floorRates);
    printf("plug-in:              %ls\n", plugin.c_str());
    printf("lines per scan:       %zu\n", wireLines.size());
    printf("server:               %d scans in %.2f s; median of %zu rounds %.1f scans/s (%.3f ms/scan)\n",
           total, serverSeconds, serverRates.size(), serverRate, 1000.0 / serverRate);
    printf("floor (in process):   median of %zu rounds of %d: %.1f scans/s (%.3f ms/scan)\n",
           floorRates.size(), kFloorRound, floorRate, 1000.0 / floorRate);
    printf("ratio server/floor:   %.2fx (time per scan)\n", floorRate / serverRate);
    printf("after %5d requests: working set %zu KiB, %lu handles\n", 1000, at1000.workingSet / 1024,
           at1000.handles);
    printf("after %5d requests: working set %zu KiB, %lu handles\n", total, atEnd.workingSet / 1024,
           atEnd.handles);
    printf("server exit code:     %lu\n", exitCode);
    return 0;
}
