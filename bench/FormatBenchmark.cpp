// The format benchmark: what one plug-in costs the engine, with one server,
// in each format. Four corpora of COUNT plug-ins each - copies of the kit's
// VST 2 effect, of a one-class VST3 bundle, of the same bundles with a
// moduleinfo.json naming what their class replaces, and of a one-plug-in
// CLAP module - are scanned again in ROUNDS rounds, the formats taking turns
// within each round so that a machine's changing load falls on all alike.
// Prints each format's median milliseconds per plug-in and its ratio to
// VST 2.
//
//   FormatBenchmark [COUNT] [ROUNDS]     (default 2000 plug-ins, 2 rounds)
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/Folders.h"
#include "bench/Samples.h"
#include "host/engine/Scanner.h"
#include "host/engine/servers/ServerProcess.h"

namespace {

struct FormatCorpus {
    const char* what = "";
    std::wstring folder;
    uint64_t binaryBytes = 0;
    std::vector<double> msPerPlugin;
    int ok = 0;         // in the last round
    int replacing = 0;  // classes the last round found replacing a plug-in
};

bool WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
    CloseHandle(file);
    return ok;
}

uint64_t FileBytes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

enum class Kind { Vst2, Vst3, Vst3Info, Clap };

// COUNT plug-ins of one kind under folder.
bool MakeCorpus(Kind kind, int count, FormatCorpus* corpus) {
    std::wstring kit = host::ExecutableFolder() + L"plugins\\";
    std::wstring source = kind == Kind::Vst2   ? kit + L"effect.dll"
                          : kind == Kind::Clap ? kit + L"clap\\Single.clap"
                                               : kit + L"vst3\\Single.vst3\\Contents\\x86_64-win\\Single.vst3";
    corpus->binaryBytes = FileBytes(source);
    if (!CreateDirectoryW(corpus->folder.c_str(), nullptr))
        return false;
    const char* moduleInfo =
        "{\n  // what the class replaces\n  \"Compatibility\": [\n    {\n"
        "      \"New\": \"5EC0DE010A0B4C0D8E8F909192939495\",\n"
        "      \"Old\": [\"56535445464658746573742065666665\",],\n    },\n  ],\n}\n";
    for (int i = 0; i < count; i++) {
        wchar_t name[32];
        swprintf(name, 32, L"Plugin%05d", i);
        std::wstring base = corpus->folder + L"\\" + name;
        bool ok = true;
        switch (kind) {
        case Kind::Vst2: ok = CopyFileW(source.c_str(), (base + L".dll").c_str(), FALSE); break;
        case Kind::Clap: ok = CopyFileW(source.c_str(), (base + L".clap").c_str(), FALSE); break;
        case Kind::Vst3:
        case Kind::Vst3Info: {
            std::wstring bundle = base + L".vst3";
            ok = CreateDirectoryW(bundle.c_str(), nullptr) && CreateDirectoryW((bundle + L"\\Contents").c_str(), nullptr) &&
                 CreateDirectoryW((bundle + L"\\Contents\\x86_64-win").c_str(), nullptr) &&
                 CopyFileW(source.c_str(), (bundle + L"\\Contents\\x86_64-win\\" + name + L".vst3").c_str(), FALSE);
            if (ok && kind == Kind::Vst3Info)
                ok = CreateDirectoryW((bundle + L"\\Contents\\Resources").c_str(), nullptr) &&
                     WriteText(bundle + L"\\Contents\\Resources\\moduleinfo.json", moduleInfo);
            break;
        }
        }
        if (!ok)
            return false;
    }
    return true;
}

// One scan of the corpus from nothing, with one server; false when it could not run.
bool ScanOnce(FormatCorpus* corpus, const std::wstring& root, int count) {
    host::ScanOptions options;
    options.inputs = {corpus->folder};
    options.resultsPath = root + L"\\results.json";
    options.dumpFolder = root + L"\\dumps";
    options.jobs = 1;
    options.timeoutMs = 20000;
    options.rescan = true;
    host::Scanner scanner(options);
    scanner.onWarning = [](const std::string& text) { fprintf(stderr, "warning: %s\n", text.c_str()); };
    double start = Now();
    bool ran = scanner.Run();
    double seconds = Now() - start;
    DeleteFileW(options.resultsPath.c_str());
    if (!ran || static_cast<int>(scanner.scanned().size()) != count) {
        fprintf(stderr, "the scan of %s failed: %s\n", corpus->what, scanner.error().c_str());
        return false;
    }
    corpus->msPerPlugin.push_back(seconds * 1000 / count);
    corpus->ok = corpus->replacing = 0;
    for (const host::PluginRecord& record : scanner.scanned()) {
        corpus->ok += record.status == host::Status::Ok;
        for (const host::PluginClass& entry : record.classes)
            corpus->replacing += !entry.replaces.empty();
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int count = argc > 1 ? _wtoi(argv[1]) : 2000;
    int rounds = argc > 2 ? _wtoi(argv[2]) : 2;
    if (count < 1 || rounds < 1) {
        fprintf(stderr, "usage: FormatBenchmark [COUNT] [ROUNDS]\n");
        return 2;
    }
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring root = std::wstring(temp) + L"format-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(root.c_str(), nullptr);
    FormatCorpus corpora[4];
    const char* names[] = {"VST 2 (effect.dll)", "VST3 bundle, one class", "VST3 bundle, one class, moduleinfo.json",
                           "CLAP, one plug-in"};
    const wchar_t* folders[] = {L"vst2", L"vst3", L"vst3-info", L"clap"};
    for (size_t i = 0; i < 4; i++) {
        corpora[i].what = names[i];
        corpora[i].folder = root + L"\\" + folders[i];
    }
    const Kind kinds[] = {Kind::Vst2, Kind::Vst3, Kind::Vst3Info, Kind::Clap};
    bool ok = true;
    for (size_t i = 0; i < 4 && ok; i++)
        ok = MakeCorpus(kinds[i], count, &corpora[i]);
    if (!ok)
        fprintf(stderr, "cannot make the corpora (error %lu)\n", GetLastError());
    for (int round = 0; round < rounds && ok; round++) {
        for (FormatCorpus& corpus : corpora) {
            ok = ok && ScanOnce(&corpus, root, count);
            if (ok)
                printf("round %d: %-42s %7.2f ms per plug-in\n", round + 1, corpus.what, corpus.msPerPlugin.back());
            fflush(stdout);
        }
    }
    if (ok) {
        double vst2 = Summarise(corpora[0].msPerPlugin).median;
        printf("\n%d plug-ins per format, %d rounds, one server, the engine (x64)\n", count, rounds);
        printf("%-42s %10s %12s %9s %5s %10s\n", "format", "binary", "ms/plug-in", "vs VST 2", "ok", "replacing");
        for (const FormatCorpus& corpus : corpora) {
            double median = Summarise(corpus.msPerPlugin).median;
            printf("%-42s %8llu B %12.2f %8.2fx %5d %10d\n", corpus.what,
                   static_cast<unsigned long long>(corpus.binaryBytes), median, median / vst2, corpus.ok,
                   corpus.replacing);
        }
    }
    RemoveTree(root);
    return ok ? 0 : 1;
}
