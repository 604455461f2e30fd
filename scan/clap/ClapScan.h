#pragma once

#include <windows.h>

#include <cstdint>

#include "scan/ModuleScan.h"
#include "scan/clap/Clap.h"
#include "simple/ElementPolicy.h"
#include "simple/String.h"
#include "simple/Vector.h"

// One plug-in a CLAP module's factory describes. The port members are known
// only when its instance answered (`placement.instantiated`).
struct CClapPlugin {
    Simple::CStringW id;
    Simple::CStringW name;
    Simple::CStringW vendor;
    Simple::CStringW version;
    Simple::CStringW description;
    Simple::CStringW url;
    Simple::CStringW manualUrl;
    Simple::CStringW supportUrl;
    Simple::CStringW features;  // joined with "|"
    CPlacement placement;
};

// What a scan learned about one CLAP module.
struct CClapModule {
    CClapModule() = default;
    CClapModule(const CClapModule&) = delete;
    CClapModule& operator=(const CClapModule&) = delete;

    Simple::CStringW error;  // empty while nothing has gone wrong
    ClapVersion clapVersion = {0, 0, 0};
    bool versionRead = false;
    uint32_t pluginCount = 0;  // as the factory counts them, however many were read
    Simple::CVector<CClapPlugin*, Simple::SOwnedPtr, CClapPlugin*> plugins;
};

// Serves a request for a CLAP module: loads it, probes it, unloads it,
// writes the log, the error line when it failed, and the report.
void ScanClapModule(const Simple::CStringW& path);

// Initializes the entry with the module's path, reads its plug-in factory
// and deinitializes it. False when it failed (record.error set). Never
// frees the module.
bool ProbeClapModule(HMODULE module, const Simple::CStringW& path, CClapModule& record);

// The report of a CLAP scan.
void WriteClapReport(const CClapModule& record);

// The clap_host the server hands every plug-in it creates: its identity,
// no extensions, and requests that do nothing; every call is logged at
// "info". It lives as long as the process and may be called on any thread.
const ClapHost* ServerClapHost();
