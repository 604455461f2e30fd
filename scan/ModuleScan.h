#pragma once

// What the VST3 and CLAP scans share: how a request is told from a VST 2
// one, how their modules are loaded and freed around the probe, how plug-in
// code is called, how plug-in text is taken, and how their reports are
// written.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "server/CrashDump.h"
#include "server/MessageChannel.h"
#include "server/PluginCall.h"
#include "simple/String.h"

enum class ModuleFormat { Vst2, Vst3, Clap };

// Reads and notes are capped: a plug-in that counts two million classes or
// ports gets this many read, and an error line saying so.
constexpr int32_t kMaxModuleClasses = 1000;
constexpr uint32_t kMaxPortsRead = 64;

// By the path's ending, in any letter case, trailing separators ignored:
// ".vst3" (a bundle folder, the DLL inside one, or a single-file module),
// ".clap"; anything else is VST 2.
ModuleFormat FormatOfPath(const wchar_t* path);

// Serves a request that names a VST3 or CLAP module, from the "Scanning
// plugin" line to the report. False, having written nothing, for a VST 2
// request, which the VST 2 scan serves as it always has.
bool HandleModuleRequest(const wchar_t* request);

// Runs call() as plug-in code (CallPluginCode): a fault in it, or in
// anything it calls, is a crash of the server. The crash filter is
// installed again afterwards, since the plug-in may have replaced it.
template <typename Call>
void CallPlugin(Call&& call) {
    using Stored = typename std::remove_reference<Call>::type;
    CallPluginCode([](void* context) { (*static_cast<Stored*>(context))(); }, &call);
    InstallCrashDumpFilter();
}

// Loads the module's file for a scan, with the log lines and the badge the
// VST 2 scan gives a library. Null with *error set when it does not load.
HMODULE LoadScanModule(const wchar_t* file, CStringW* error);

// Frees it again: system DLLs it brought stay (scan/SystemModules.h).
void FreeScanModule(HMODULE module);

// Plug-in text in UTF-8, at most maxBytes of it up to its first NUL. Bytes
// that are not UTF-8 are taken one by one (ISO 8859-1) and *notUtf8 is set.
// Null text gives an allocated empty string.
CStringW PluginText(const char* bytes, size_t maxBytes, bool* notUtf8);

// UTF-16 plug-in text of a fixed-size field, up to its first NUL.
CStringW PluginTextW(const wchar_t* units, size_t maxUnits);

// The first problem of a scan becomes its error (the "error" line before
// the report, and the report's "error" member); each later one is a "warn"
// line of its own, so that none goes unsaid.
void NoteProblem(CStringW& error, const CStringW& problem);

// What a host needs to place one class or plug-in: known only when its
// instance answered.
struct CPlacement {
    bool instantiated = false;
    int32_t numInputs = 0;   // channels of the main audio input
    int32_t numOutputs = 0;  // channels of the main audio output
    bool wantsMidi = false;  // takes events or notes
    bool sendsMidi = false;  // sends them
};

// Report members at a given depth: `"key": value,` with the value escaped
// and quoted (strings), or as it is (numbers, booleans).
void WriteTextMember(int depth, const wchar_t* key, const wchar_t* value);
void WriteNumberMember(int depth, const wchar_t* key, long long value);
void WriteFlagMember(int depth, const wchar_t* key, bool value);
// The placement's four members, or none when the instance did not answer.
void WritePlacementMembers(int depth, const CPlacement& placement);
