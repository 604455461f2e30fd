#include "scan/ScanRequest.h"

#include <cstdlib>

#include "scan/ModuleScan.h"
#include "scan/ScanReport.h"
#include "scan/SystemModules.h"
#include "scan/vst2/Probe.h"
#include "server/CommandLine.h"
#include "server/CrashDump.h"
#include "server/MessageChannel.h"
#include "server/MessagePump.h"
#include "server/ServerState.h"

namespace {

// Version resources are a few kilobytes; a file that declares more than
// this is not read.
constexpr DWORD kMaxVersionInfoBytes = 1024 * 1024;

void KeepOrFree(HMODULE module, const CStringW& path, bool keep) {
    if (keep) {
        // A fresh copy, so that the cache never shares the request's text.
        CStringW copy(static_cast<const wchar_t*>(path), path.GetLength());
        if (!copy.IsNull()) {
            LogInfo(L"Keeping shell library loaded for now...\n");
            serverState.cachedModule = module;
            serverState.cachedModulePath = copy;
            return;
        }
    }
    LogInfo(L"Freeing library...\n");
    FreeLibrary(module);
    serverState.cachedModule = nullptr;
    serverState.cachedModulePath.Release();
}

}  // namespace

void FreeCachedLibrary() {
    if (!serverState.cachedModule)
        return;
    LogInfo(L"Freeing cached library...\n");
    FreeLibrary(serverState.cachedModule);
    serverState.cachedModule = nullptr;
    serverState.cachedModulePath.Release();
    LogInfo(L"Freed\n");
}

bool SplitRequest(const wchar_t* request, CStringW* path, int32_t* shellId) {
    *shellId = 0;
    const wchar_t* mark = wcschr(request, L'>');
    if (!mark) {
        path->Assign(request);
        return !path->IsNull();
    }
    path->Assign(request, static_cast<int32_t>(mark - request));
    uint32_t id = 0;
    for (const wchar_t* digit = mark + 1; HexDigitValue(*digit) >= 0; digit++)
        id = (id << 4) | static_cast<uint32_t>(HexDigitValue(*digit));
    *shellId = static_cast<int32_t>(id);
    return !path->IsNull();
}

bool ReadFileVersion(const wchar_t* path, VS_FIXEDFILEINFO* version) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0 || size > kMaxVersionInfoBytes)
        return false;
    void* buffer = malloc(size);
    if (!buffer)
        return false;
    bool found = false;
    void* fixed = nullptr;
    UINT length = 0;
    // A record shorter than VS_FIXEDFILEINFO would leave the version words
    // outside what the file holds: it counts as no version.
    if (GetFileVersionInfoW(path, handle, size, buffer) &&
        VerQueryValueW(buffer, L"\\", &fixed, &length) && fixed &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        memcpy(version, fixed, sizeof(VS_FIXEDFILEINFO));
        found = true;
    }
    free(buffer);
    return found;
}

CStringW FileVersionText(const VS_FIXEDFILEINFO& version) {
    DWORD high = version.dwProductVersionMS;
    DWORD low = version.dwProductVersionLS;
    if (high == 0 && low == 0) {
        high = version.dwFileVersionMS;
        low = version.dwFileVersionLS;
    }
    if (high == 0 && low == 0)
        return CStringW();
    return Simple::FormatString(L"%i.%i.%i.%i", HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
}

bool ScanPlugin(const wchar_t* request, CPluginInfo& record) {
    LogInfo(L"Scanning plugin: '%s'\n", request);
    CStringW path;
    int32_t shellId = 0;
    if (!SplitRequest(request, &path, &shellId)) {
        record.error = L"Not enough memory for the request";
        return false;
    }
    InstallCrashDumpFilter();

    HMODULE module = nullptr;
    bool reused = serverState.cachedModule && path == serverState.cachedModulePath;
    // Freed before the new one loads, even when both paths name the same
    // file in other spellings.
    if (!reused)
        FreeCachedLibrary();
    NoteLoadedModules();
    if (reused) {
        LogInfo(L"Re-using previous library instance...\n");
        module = serverState.cachedModule;
    } else {
        LogInfo(L"Loading library...\n");
        module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!module) {
            int error = static_cast<int>(GetLastError());
            record.error = Simple::FormatString(L"Failed to load library, err=%i", error);
            return false;
        }
    }

    CStringW fileVersion;
    VS_FIXEDFILEINFO fixed;
    if (ReadFileVersion(path, &fixed))
        fileVersion = FileVersionText(fixed);

    InstallCrashDumpFilter();
    // Without a badge there is nothing to raise, and activating null would
    // deactivate whatever window a plug-in left active.
    if (serverState.badgeWindow && GetActiveWindow() != serverState.badgeWindow)
        SetActiveWindow(serverState.badgeWindow);
    PumpWindowMessages();

    serverState.currentShellId = shellId;
    bool probed = ProbePlugin(module, record);
    serverState.currentShellId = 0;

    if (record.version.GetLength() == 0)
        record.version = fileVersion;
    PumpWindowMessages();
    KeepNewSystemModules(module);
    KeepOrFree(module, path, record.shells.GetCount() > 0 || reused);
    LogInfo(L"Finished\n");
    return probed;
}

void HandleScanRequest(const wchar_t* request) {
    // VST3 and CLAP modules are told by their path; the rest is VST 2.
    if (HandleModuleRequest(request))
        return;
    CPluginInfo record;
    if (!ScanPlugin(request, record))
        LogError(L"%s\n", record.error);
    WriteReport(record);
}

void HandleRejectedRequest(const wchar_t* reason) {
    CPluginInfo record;
    record.error = reason;
    LogError(L"%s\n", reason);
    WriteReport(record);
}
