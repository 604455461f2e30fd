#pragma once

#include <cstdint>

#include "simple/ElementPolicy.h"
#include "simple/String.h"
#include "simple/Vector.h"

// The category a report gives a shell plug-in, whose sub-plug-ins it lists:
// VST 2's own number for one, which the wire has always carried.
constexpr int32_t kShellCategory = 10;

// One sub-plug-in of a shell plug-in.
class CShellInfo {
public:
    int32_t id = 0;
    Simple::CStringW name;
};

// What one scan learned about one plug-in DLL. Fields the scan never reached
// keep their initial values, and the report shows them as such.
struct CPluginInfo {
    CPluginInfo();
    // One record per request, owning its shell entries: never copied.
    CPluginInfo(const CPluginInfo&) = delete;
    CPluginInfo& operator=(const CPluginInfo&) = delete;

    int32_t id;
    Simple::CStringW name;
    Simple::CStringW vendor;
    Simple::CStringW product;
    Simple::CStringW version;
    Simple::CStringW error;  // empty while the scan has not failed
    int32_t numInputs;
    int32_t numOutputs;
    bool wantsMidi;
    bool sendsMidi;
    bool audio64;
    bool synthEdit;
    int32_t category;  // -1 until the plug-in is asked; kShellCategory marks a shell
    Simple::CVector<CShellInfo*, Simple::SOwnedPtr, CShellInfo*> shells;  // in the shell's order
};
