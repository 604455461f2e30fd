// The PE reader's cost, against what a scan spends per plug-in: a folder of
// DLL files (copies of every kit plug-in, round and round) read whole
// (headers, imports, exports, function table), then explained as a missing
// dependency would be (the dependency search through the plug-in's folder,
// the system folders and the PATH, with the export check of error 127).
//
//   PeReaderBenchmark [COUNT]     (default 2000 files)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/engine/failures/LoadFailure.h"
#include "host/engine/failures/PeFile.h"
#include "host/engine/servers/ServerProcess.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int count = argc > 1 ? _wtoi(argv[1]) : 2000;
    std::wstring kit = host::ExecutableFolder() + L"plugins\\";
    std::vector<std::wstring> sources;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((kit + L"*.dll").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "no kit plug-ins in %ls\n", kit.c_str());
        return 2;
    }
    do
        sources.push_back(kit + found.cFileName);
    while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(sources.begin(), sources.end());

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"pe-reader-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    std::vector<std::wstring> files;
    uint64_t bytes = 0;
    for (int i = 0; i < count; i++) {
        std::wstring file = folder + L"\\p" + std::to_wstring(i) + L".dll";
        CopyFileW(sources[i % sources.size()].c_str(), file.c_str(), FALSE);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data))
            bytes += data.nFileSizeLow;
        files.push_back(file);
    }

    auto start = std::chrono::steady_clock::now();
    size_t imports = 0, exports = 0, functions = 0;
    for (const std::wstring& file : files) {
        host::PeFile pe = host::ReadPe(file);
        imports += pe.imports.size();
        exports += pe.exports.size();
        functions += pe.functions.size();
    }
    double read = Seconds(start);

    // Every file explained as if Windows had refused it: the dependency
    // search alone (126), and with every imported function looked up (127).
    double explained[2] = {};
    size_t missing[2] = {};
    const unsigned errors[2] = {126, 127};
    for (int kind = 0; kind < 2; kind++) {
        start = std::chrono::steady_clock::now();
        for (const std::wstring& file : files) {
            host::ServerFailure failure;
            failure.loadError = errors[kind];
            missing[kind] += host::ExplainLoadFailure(file, failure, host::LoaderSearchFolders(file)).missing.size();
        }
        explained[kind] = Seconds(start);
    }

    printf("%d DLL files (%.1f MB, %zu kinds) in %ls\n", count, bytes / 1e6, sources.size(), folder.c_str());
    printf("read whole:             %.3f s, %.3f ms a file (%zu imported DLLs, %zu exports, %zu functions)\n",
           read, 1000 * read / count, imports, exports, functions);
    for (int kind = 0; kind < 2; kind++)
        printf("explained (error %u):  %.3f s, %.3f ms a file (%zu missing found)\n", errors[kind],
               explained[kind], 1000 * explained[kind] / count, missing[kind]);

    for (const std::wstring& file : files)
        DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
    return 0;
}
