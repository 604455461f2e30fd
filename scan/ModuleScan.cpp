#include "scan/ModuleScan.h"

#include "scan/ScanReport.h"
#include "scan/ScanRequest.h"
#include "scan/SystemModules.h"
#include "scan/clap/ClapScan.h"
#include "scan/vst3/Vst3Scan.h"
#include "server/MessagePump.h"
#include "server/ServerState.h"

namespace {

wchar_t AsciiLower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// True when the path, without trailing separators, ends in ending (given
// in lower case), compared in ASCII letter case only.
bool EndsWith(const wchar_t* path, const wchar_t* ending) {
    size_t length = wcslen(path);
    while (length > 0 && (path[length - 1] == L'\\' || path[length - 1] == L'/'))
        length--;
    size_t size = wcslen(ending);
    if (length < size)
        return false;
    for (size_t i = 0; i < size; i++) {
        if (AsciiLower(path[length - size + i]) != ending[i])
            return false;
    }
    return true;
}

// Values start in one column whatever the key, as in the VST 2 report.
constexpr int kValueColumn = 16;

CStringW MemberHead(int depth, const wchar_t* key) {
    CStringW head;
    head.Reserve(0);
    for (int i = 0; i < depth; i++)
        head.Append(L"  ", 2);
    head.Append(L"\"", 1);
    head.Append(key);
    head.Append(L"\":", 2);
    int32_t used = static_cast<int32_t>(wcslen(key)) + 3;
    do {
        head.Append(L" ", 1);
    } while (++used < kValueColumn);
    return head;
}

}  // namespace

ModuleFormat FormatOfPath(const wchar_t* path) {
    if (EndsWith(path, L".vst3"))
        return ModuleFormat::Vst3;
    if (EndsWith(path, L".clap"))
        return ModuleFormat::Clap;
    return ModuleFormat::Vst2;
}

bool HandleModuleRequest(const wchar_t* request) {
    CStringW path;
    int32_t shellId = 0;
    // Without memory for the path the VST 2 scan answers as it always has.
    if (!SplitRequest(request, &path, &shellId))
        return false;
    ModuleFormat format = FormatOfPath(path);
    if (format == ModuleFormat::Vst2)
        return false;
    serverState.holdFlushes = true;
    LogInfo(L"Scanning plugin: '%s'\n", request);
    FreeCachedLibrary();
    InstallCrashDumpFilter();
    if (format == ModuleFormat::Vst3)
        ScanVst3Module(path);
    else
        ScanClapModule(path);
    serverState.holdFlushes = false;
    return true;
}

HMODULE LoadScanModule(const wchar_t* file, CStringW* error) {
    NoteLoadedModules();
    LogInfo(L"Loading library...\n");
    HMODULE module = LoadLibraryExW(file, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        int code = static_cast<int>(GetLastError());
        *error = Simple::FormatString(L"Failed to load library, err=%i", code);
        return nullptr;
    }
    InstallCrashDumpFilter();
    // As for a VST 2 library: without a badge there is nothing to raise.
    if (serverState.badgeWindow && GetActiveWindow() != serverState.badgeWindow)
        SetActiveWindow(serverState.badgeWindow);
    PumpWindowMessages();
    return module;
}

void FreeScanModule(HMODULE module) {
    PumpWindowMessages();
    KeepNewSystemModules(module);
    LogInfo(L"Freeing library...\n");
    FreeLibrary(module);
    InstallCrashDumpFilter();
}

CStringW PluginText(const char* bytes, size_t maxBytes, bool* notUtf8) {
    CStringW empty;
    empty.Reserve(0);
    if (!bytes)
        return empty;
    size_t length = 0;
    while (length < maxBytes && bytes[length])
        length++;
    if (length == 0)
        return empty;
    CStringA copy(bytes, static_cast<int32_t>(length));
    if (copy.IsNull())
        return CStringW();
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, copy, static_cast<int>(length), nullptr, 0);
    if (units <= 0) {
        *notUtf8 = true;
        return Simple::WidenBytes(copy);
    }
    CStringW text;
    wchar_t* buffer = text.Reserve(units);
    if (!buffer)
        return text;
    MultiByteToWideChar(CP_UTF8, 0, copy, static_cast<int>(length), buffer, units);
    buffer[units] = 0;
    return text;
}

CStringW PluginTextW(const wchar_t* units, size_t maxUnits) {
    size_t length = 0;
    while (length < maxUnits && units[length])
        length++;
    CStringW text(units, static_cast<int32_t>(length));
    return text;
}

void NoteProblem(CStringW& error, const CStringW& problem) {
    if (error.GetLength() == 0)
        error = problem;
    else
        LogWarning(L"%s\n", problem);
}

void WriteTextMember(int depth, const wchar_t* key, const wchar_t* value) {
    CStringW head = MemberHead(depth, key);
    CStringW escaped = JsonEscape(value);
    LogData(L"%s\"%s\",\n", head, escaped);
}

void WriteNumberMember(int depth, const wchar_t* key, long long value) {
    CStringW head = MemberHead(depth, key);
    LogData(L"%s%I64d,\n", head, value);
}

void WriteFlagMember(int depth, const wchar_t* key, bool value) {
    CStringW head = MemberHead(depth, key);
    LogData(L"%s%s,\n", head, value ? L"true" : L"false");
}

void WritePlacementMembers(int depth, const CPlacement& placement) {
    if (!placement.instantiated)
        return;
    WriteNumberMember(depth, L"numInputs", placement.numInputs);
    WriteNumberMember(depth, L"numOutputs", placement.numOutputs);
    WriteFlagMember(depth, L"wantsMidi", placement.wantsMidi);
    WriteFlagMember(depth, L"sendsMidi", placement.sendsMidi);
}
