#include "scan/vst2/HostCallback.h"

#include "server/MessageChannel.h"
#include "server/ServerState.h"

namespace {

// The capabilities the server claims when a plug-in asks audioMasterCanDo.
const char* const kHostCapabilities[] = {
    "sizeWindow",
    "sendVstEvents",
    "sendVstMidiEvent",
    "sendVstTimeInfo",
    "supplyIdle",
    "receiveVstEvents",
    "receiveVstMidiEvent",
    "startStopProcess",
    "sendVstMidiEventFlagIsRealtime",
    "shellCategory",
};

const char kHostVendor[] = "Greyhaven Software";
const char kHostProduct[] = "Orvane";
constexpr VstIntPtr kHostVersion = 2400;
constexpr VstIntPtr kHostVendorVersion = 3;
constexpr VstIntPtr kHostSampleRate = 44100;
constexpr VstIntPtr kHostBlockSize = 512;

struct OpcodeName {
    int32_t opcode;
    const char* name;
};

// The VST 2.4 host opcodes by number, for the log. Opcode 5 was never
// given a name in 2.4, so it has no row. Ends with a row without a name.
const OpcodeName kOpcodeNames[] = {
    {0, "audioMasterAutomate"},
    {1, "audioMasterVersion"},
    {2, "audioMasterCurrentId"},
    {3, "audioMasterIdle"},
    {4, "audioMasterPinConnected"},
    {6, "audioMasterWantMidi"},
    {7, "audioMasterGetTime"},
    {8, "audioMasterProcessEvents"},
    {9, "audioMasterSetTime"},
    {10, "audioMasterTempoAt"},
    {11, "audioMasterGetNumAutomatableParameters"},
    {12, "audioMasterGetParameterQuantization"},
    {13, "audioMasterIOChanged"},
    {14, "audioMasterNeedIdle"},
    {15, "audioMasterSizeWindow"},
    {16, "audioMasterGetSampleRate"},
    {17, "audioMasterGetBlockSize"},
    {18, "audioMasterGetInputLatency"},
    {19, "audioMasterGetOutputLatency"},
    {20, "audioMasterGetPreviousPlug"},
    {21, "audioMasterGetNextPlug"},
    {22, "audioMasterWillReplaceOrAccumulate"},
    {23, "audioMasterGetCurrentProcessLevel"},
    {24, "audioMasterGetAutomationState"},
    {25, "audioMasterOfflineStart"},
    {26, "audioMasterOfflineRead"},
    {27, "audioMasterOfflineWrite"},
    {28, "audioMasterOfflineGetCurrentPass"},
    {29, "audioMasterOfflineGetCurrentMetaPass"},
    {30, "audioMasterSetOutputSampleRate"},
    {31, "audioMasterGetOutputSpeakerArrangement"},
    {32, "audioMasterGetVendorString"},
    {33, "audioMasterGetProductString"},
    {34, "audioMasterGetVendorVersion"},
    {35, "audioMasterVendorSpecific"},
    {36, "audioMasterSetIcon"},
    {37, "audioMasterCanDo"},
    {38, "audioMasterGetLanguage"},
    {39, "audioMasterOpenWindow"},
    {40, "audioMasterCloseWindow"},
    {41, "audioMasterGetDirectory"},
    {42, "audioMasterUpdateDisplay"},
    {43, "audioMasterBeginEdit"},
    {44, "audioMasterEndEdit"},
    {45, "audioMasterOpenFileSelector"},
    {46, "audioMasterCloseFileSelector"},
    {47, "audioMasterEditFile"},
    {48, "audioMasterGetChunkFile"},
    {49, "audioMasterGetInputSpeakerArrangement"},
    {0, nullptr},
};

const char* OpcodeNameOf(int32_t opcode) {
    for (const OpcodeName* row = kOpcodeNames; row->name; row++) {
        if (row->opcode == opcode)
            return row->name;
    }
    return "<unknown>";
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case folding of the "C" locale: ASCII letters only, so the answer does
// not depend on a locale a plug-in may have set in the shared CRT.
bool EqualIgnoringAsciiCase(const char* a, const char* b) {
    for (;; a++, b++) {
        if (AsciiLower(*a) != AsciiLower(*b))
            return false;
        if (!*a)
            return true;
    }
}

VstIntPtr AnswerCanDo(const char* query) {
    // A null query is logged as the empty text. The bytes are widened here
    // rather than by "%S", whose conversion follows the C runtime's locale,
    // which a plug-in sharing msvcrt may have changed.
    LogInfo(L"Query host can do: '%s'\n", Simple::WidenBytes(query ? query : ""));
    if (!query)
        return 0;
    for (const char* capability : kHostCapabilities) {
        if (EqualIgnoringAsciiCase(query, capability))
            return 1;
    }
    return 0;
}

// The plug-in's buffer for a host string is 64 bytes by the VST 2
// convention; the copy stops at 63 bytes so that the NUL always fits.
VstIntPtr CopyHostString(void* ptr, const char* text) {
    if (!ptr)
        return 0;
    char* buffer = static_cast<char*>(ptr);
    int32_t n = 0;
    for (; n < kVstHostStringBufferSize - 1 && text[n]; n++)
        buffer[n] = text[n];
    buffer[n] = 0;
    return 1;
}

}  // namespace

VstIntPtr VSTCALL HostCallback(AEffect* effect, int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt) {
    if (opcode == audioMasterCanDo)
        return AnswerCanDo(static_cast<const char*>(ptr));

    CStringW name = Simple::WidenBytes(OpcodeNameOf(opcode));
    LogInfo(L"Audio master callback: %i - %s\n", opcode, name.GetBuffer());

    switch (opcode) {
    case audioMasterAutomate:
        return 0;
    case audioMasterVersion:
        return kHostVersion;
    case audioMasterCurrentId:
        return serverState.currentShellId;  // sign-extended to the pointer width
    case audioMasterWantMidi:
        serverState.pluginWantsMidi = true;
        return 0;
    case audioMasterNeedIdle:
        return 1;
    case audioMasterGetSampleRate:
        return kHostSampleRate;
    case audioMasterGetBlockSize:
        return kHostBlockSize;
    case audioMasterGetCurrentProcessLevel:
        return kVstProcessLevelOffline;
    case audioMasterGetVendorString:
        return CopyHostString(ptr, kHostVendor);
    case audioMasterGetProductString:
        return CopyHostString(ptr, kHostProduct);
    case audioMasterGetVendorVersion:
        return kHostVendorVersion;
    default:
        LogWarning(L"Unhandled audioMaster opCode - %i\n", opcode);
        return 0;
    }
}
