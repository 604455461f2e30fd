#pragma once

#include <windows.h>

#include <cstdint>

#include "scan/ModuleScan.h"
#include "simple/ElementPolicy.h"
#include "simple/String.h"
#include "simple/Vector.h"

// One class of a VST3 module's factory. The bus members are known only for
// audio module classes whose instance answered (`placement.instantiated`).
struct CVst3Class {
    uint8_t cid[16] = {};
    Simple::CStringW category;
    Simple::CStringW name;
    Simple::CStringW subCategories;
    Simple::CStringW vendor;
    Simple::CStringW version;
    Simple::CStringW sdkVersion;
    int32_t cardinality = 0;
    uint32_t classFlags = 0;
    CPlacement placement;
};

// What a scan learned about one VST3 module.
struct CVst3Module {
    CVst3Module() = default;
    CVst3Module(const CVst3Module&) = delete;
    CVst3Module& operator=(const CVst3Module&) = delete;

    Simple::CStringW error;  // empty while nothing has gone wrong
    const wchar_t* factoryInterface = L"";  // the richest factory interface it answered
    Simple::CStringW vendor;
    Simple::CStringW url;
    Simple::CStringW email;
    int32_t factoryFlags = 0;
    int32_t classCount = 0;  // as the factory counts them, however many were read
    Simple::CVector<CVst3Class*, Simple::SOwnedPtr, CVst3Class*> classes;
};

// Serves a request for a VST3 module (a bundle folder, the DLL in one, or a
// single-file module): loads it, probes it, unloads it, writes the log, the
// error line when it failed, and the report.
void ScanVst3Module(const Simple::CStringW& path);

// The file to load for the path: a bundle folder's binary for this
// server's architecture, else the path itself. False with *error set when
// the bundle has none.
bool FindVst3Binary(const Simple::CStringW& path, Simple::CStringW* binary, Simple::CStringW* error);

// Calls the module's entry points and its factory and fills the record;
// InitDll before the factory, ExitDll after it is released. False when it
// failed (record.error set). Never frees the module.
bool ProbeVst3Module(HMODULE module, CVst3Module& record);

// The report of a VST3 scan.
void WriteVst3Report(const CVst3Module& record);
