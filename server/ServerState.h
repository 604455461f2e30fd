#pragma once

#include <windows.h>

#include <cstdint>

#include "simple/String.h"
#include "simple/Vector.h"

using Simple::CStringA;
using Simple::CStringW;

using ModuleList = Simple::CVector<HMODULE, Simple::SValue>;

// The process-wide state: one instance, zero or empty until set.
struct ServerState {
    HANDLE inputPipe;
    HANDLE outputPipe;
    CStringW dumpFolder;
    CStringW dumpPrefix;
    ULONG_PTR gdiplusToken;
    HWND hostWindow;
    HBITMAP badgeBitmap;
    HWND badgeWindow;
    HMODULE cachedModule;
    CStringW cachedModulePath;
    // The modules loaded before the request's library, and after its probe
    // (kept here so that their blocks serve every request); the system DLLs
    // the server holds one reference on, each once (scan/SystemModules.h).
    ModuleList modulesBeforeRequest;
    ModuleList modulesNow;
    ModuleList keptModules;
    // Written by the scan thread and read by plug-in threads through the host
    // callback; plain loads and stores of aligned 32-bit values.
    volatile int32_t currentShellId;
    volatile bool pluginWantsMidi;
    // While a VST3 or CLAP module is scanned its lines are written without
    // waiting for the host to read each one: what is written stays in the
    // pipe through a crash or a hang, and the prompt's flush ends the wait.
    // A VST 2 request flushes every line, as it always has.
    volatile bool holdFlushes;
};

extern ServerState serverState;
