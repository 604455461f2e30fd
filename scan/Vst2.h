#pragma once

// Our own declarations of the VST 2.4 plug-in ABI, 64-bit (Windows x64),
// written from its documented layout: only what the server uses.

#include <cstddef>
#include <cstdint>

struct AEffect;

// Pointer-sized signed integer: every dispatcher and host-callback result.
using VstIntPtr = intptr_t;

// The host callback ("audioMasterCallback") and the plug-in's dispatcher.
// x64 has one calling convention, so no __cdecl is needed.
using HostCallbackFn = VstIntPtr (*)(AEffect* effect, int32_t opcode, int32_t index,
                                     VstIntPtr value, void* ptr, float opt);
using DispatcherFn = VstIntPtr (*)(AEffect* effect, int32_t opcode, int32_t index,
                                   VstIntPtr value, void* ptr, float opt);
using ProcessFn = void (*)(AEffect* effect, float** inputs, float** outputs, int32_t frames);
using ProcessDoubleFn = void (*)(AEffect* effect, double** inputs, double** outputs,
                                 int32_t frames);
using SetParameterFn = void (*)(AEffect* effect, int32_t index, float value);
using GetParameterFn = float (*)(AEffect* effect, int32_t index);

// The exported entry point, "VSTPluginMain" or the older "main".
using PluginEntryFn = AEffect* (*)(HostCallbackFn host);

constexpr int32_t kEffectMagic = 0x56737450;  // 'VstP'

// The plug-in's descriptor. Offsets on x64 in the comments.
struct AEffect {
    int32_t magic;                  // 0
    DispatcherFn dispatcher;        // 8
    ProcessFn process;              // 16 (deprecated accumulating process)
    SetParameterFn setParameter;    // 24
    GetParameterFn getParameter;    // 32
    int32_t numPrograms;            // 40
    int32_t numParams;              // 44
    int32_t numInputs;              // 48
    int32_t numOutputs;             // 52
    int32_t flags;                  // 56
    VstIntPtr reserved1;            // 64
    VstIntPtr reserved2;            // 72
    int32_t initialDelay;           // 80
    int32_t realQualities;          // 84
    int32_t offQualities;           // 88
    float ioRatio;                  // 92
    void* object;                   // 96
    void* user;                     // 104
    int32_t uniqueID;               // 112
    int32_t version;                // 116
    ProcessFn processReplacing;     // 120
    ProcessDoubleFn processDoubleReplacing;  // 128
    char future[56];                // 136
};

static_assert(sizeof(void*) == 8, "the 64-bit ABI");
static_assert(offsetof(AEffect, dispatcher) == 8, "AEffect layout");
static_assert(offsetof(AEffect, numInputs) == 48, "AEffect layout");
static_assert(offsetof(AEffect, flags) == 56, "AEffect layout");
static_assert(offsetof(AEffect, uniqueID) == 112, "AEffect layout");
static_assert(offsetof(AEffect, processDoubleReplacing) == 128, "AEffect layout");
static_assert(sizeof(AEffect) == 192, "AEffect layout");

// AEffect flags.
constexpr int32_t effFlagsHasEditor = 1 << 0;
constexpr int32_t effFlagsCanReplacing = 1 << 4;
constexpr int32_t effFlagsProgramChunks = 1 << 5;
constexpr int32_t effFlagsIsSynth = 1 << 8;
constexpr int32_t effFlagsNoSoundInStop = 1 << 9;
constexpr int32_t effFlagsCanDoubleReplacing = 1 << 12;

// Dispatcher opcodes (plug-in side).
enum : int32_t {
    effOpen = 0,
    effClose = 1,
    effGetPlugCategory = 35,
    effGetEffectName = 45,
    effGetVendorString = 47,
    effGetProductString = 48,
    effGetVendorVersion = 49,
    effCanDo = 51,
    effShellGetNextPlugin = 70,
};

// Plug-in categories (effGetPlugCategory).
enum : int32_t {
    kPlugCategUnknown = 0,
    kPlugCategEffect = 1,
    kPlugCategSynth = 2,
    kPlugCategShell = 10,
};

// Host callback opcodes that the server answers.
enum : int32_t {
    audioMasterAutomate = 0,
    audioMasterVersion = 1,
    audioMasterCurrentId = 2,
    audioMasterWantMidi = 6,
    audioMasterNeedIdle = 14,
    audioMasterGetSampleRate = 16,
    audioMasterGetBlockSize = 17,
    audioMasterGetCurrentProcessLevel = 23,
    audioMasterGetVendorString = 32,
    audioMasterGetProductString = 33,
    audioMasterGetVendorVersion = 34,
    audioMasterCanDo = 37,
};

constexpr VstIntPtr kVstProcessLevelOffline = 4;

// Plug-ins are asked for strings into buffers of this size; the host's own
// string answers go into the plug-in's 64-byte buffers.
constexpr int kVstStringBufferSize = 512;
constexpr int kVstHostStringBufferSize = 64;
