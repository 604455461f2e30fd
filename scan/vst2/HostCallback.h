#pragma once

#include <cstdint>

#include "scan/vst2/Vst2.h"

// The server's VST 2 host callback (audioMasterCallback), handed to every
// plug-in entry point. It presents a VST 2.4 host with fixed settings and a
// fixed identity, logs every call at "info" (unhandled opcodes also at
// "warn"), sets serverState.pluginWantsMidi on audioMasterWantMidi and
// answers audioMasterCurrentId with serverState.currentShellId. It never
// calls into the plug-in and may run on any of the plug-in's threads.
VstIntPtr VSTCALL HostCallback(AEffect* effect, int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt);
