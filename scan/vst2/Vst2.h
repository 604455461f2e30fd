#pragma once

// Our own declarations of the VST 2.4 plug-in ABI for Windows x64 and x86,
// written from its documented layout: only what the server uses.

#include <cstddef>
#include <cstdint>

struct AEffect;

// Pointer-sized signed integer: every dispatcher and host-callback result,
// and the value argument (32 bits on x86, 64 on x64).
using VstIntPtr = intptr_t;

// Every function of the ABI is __cdecl: on x86 the caller pops the
// arguments, which the compiler must know when a plug-in's compiler's
// default differs from ours. x64 has one calling convention and ignores it.
#define VSTCALL __cdecl

// The host callback ("audioMasterCallback") and the plug-in's dispatcher.
using HostCallbackFn = VstIntPtr(VSTCALL*)(AEffect* effect, int32_t opcode, int32_t index,
                                           VstIntPtr value, void* ptr, float opt);
using DispatcherFn = VstIntPtr(VSTCALL*)(AEffect* effect, int32_t opcode, int32_t index,
                                         VstIntPtr value, void* ptr, float opt);
using ProcessFn = void(VSTCALL*)(AEffect* effect, float** inputs, float** outputs, int32_t frames);
using ProcessDoubleFn = void(VSTCALL*)(AEffect* effect, double** inputs, double** outputs,
                                       int32_t frames);
using SetParameterFn = void(VSTCALL*)(AEffect* effect, int32_t index, float value);
using GetParameterFn = float(VSTCALL*)(AEffect* effect, int32_t index);

// The exported entry point, "VSTPluginMain" or the older "main".
using PluginEntryFn = AEffect*(VSTCALL*)(HostCallbackFn host);

constexpr int32_t kEffectMagic = 0x56737450;  // 'VstP'

// The plug-in's descriptor. Offsets on x64, then x86, in the comments: every
// member has its natural alignment, so the x86 layout has no padding.
struct AEffect {
    int32_t magic;                  // 0, 0
    DispatcherFn dispatcher;        // 8, 4
    ProcessFn process;              // 16, 8 (deprecated accumulating process)
    SetParameterFn setParameter;    // 24, 12
    GetParameterFn getParameter;    // 32, 16
    int32_t numPrograms;            // 40, 20
    int32_t numParams;              // 44, 24
    int32_t numInputs;              // 48, 28
    int32_t numOutputs;             // 52, 32
    int32_t flags;                  // 56, 36
    VstIntPtr reserved1;            // 64, 40
    VstIntPtr reserved2;            // 72, 44
    int32_t initialDelay;           // 80, 48
    int32_t realQualities;          // 84, 52
    int32_t offQualities;           // 88, 56
    float ioRatio;                  // 92, 60
    void* object;                   // 96, 64
    void* user;                     // 104, 68
    int32_t uniqueID;               // 112, 72
    int32_t version;                // 116, 76
    ProcessFn processReplacing;     // 120, 80
    ProcessDoubleFn processDoubleReplacing;  // 128, 84
    char future[56];                // 136, 88
};

#if defined(__x86_64__)
static_assert(offsetof(AEffect, dispatcher) == 8, "AEffect layout");
static_assert(offsetof(AEffect, numInputs) == 48, "AEffect layout");
static_assert(offsetof(AEffect, flags) == 56, "AEffect layout");
static_assert(offsetof(AEffect, uniqueID) == 112, "AEffect layout");
static_assert(offsetof(AEffect, processDoubleReplacing) == 128, "AEffect layout");
static_assert(sizeof(AEffect) == 192, "AEffect layout");
#elif defined(__i386__)
static_assert(offsetof(AEffect, dispatcher) == 4, "AEffect layout");
static_assert(offsetof(AEffect, numInputs) == 28, "AEffect layout");
static_assert(offsetof(AEffect, flags) == 36, "AEffect layout");
static_assert(offsetof(AEffect, ioRatio) == 60, "AEffect layout");
static_assert(offsetof(AEffect, uniqueID) == 72, "AEffect layout");
static_assert(offsetof(AEffect, processDoubleReplacing) == 84, "AEffect layout");
static_assert(sizeof(AEffect) == 144, "AEffect layout");
#else
#error "the ABI is declared for x64 and x86"
#endif

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
