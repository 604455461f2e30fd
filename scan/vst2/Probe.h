#pragma once

#include <windows.h>

#include "scan/PluginInfo.h"
#include "scan/vst2/Vst2.h"
#include "server/ServerState.h"

// Finds and calls the VST 2 entry point of a loaded module, fills the record
// from the AEffect and the plug-in's answers, lists a shell's sub-plug-ins,
// and closes the plug-in. False, with record.error set, when the module is
// not a usable VST 2 plug-in. Never frees the module.
bool ProbePlugin(HMODULE module, CPluginInfo& record);

// Asks the plug-in for a string (effGetEffectName and the like) and returns
// it widened byte for byte, up to its first NUL. Null when no memory could
// be had for the answer.
CStringW QueryPluginString(AEffect* effect, int32_t opcode);

// The dotted text of a plug-in's vendor version (effGetVendorVersion);
// 0 gives an allocated empty string.
CStringW FormatVendorVersion(int32_t value);
