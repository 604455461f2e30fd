#pragma once

#include <cstdint>

#include "simple/String.h"

// The host context the server hands VST3 plug-ins (IPluginFactory3's
// setHostContext, IComponent's initialize): an IHostApplication that answers
// getName with the host's name and queryInterface for itself and FUnknown;
// everything else is kNoInterface. Every call is logged at "info". The
// object lives as long as the process, so a plug-in that keeps it past its
// request still finds it; it never calls into the plug-in and may be called
// on any thread.
void* Vst3HostContext();

// A class or interface id as the 32 upper-case hexadecimal digits of its
// COM GUID form: the first 4-byte and the two 2-byte fields read as
// little-endian numbers, then the 8 remaining bytes in order.
Simple::CStringW Vst3IdText(const uint8_t* id);
