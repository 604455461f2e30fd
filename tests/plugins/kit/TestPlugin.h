#pragma once

// The test plug-in kit: one VST 2 plug-in whose answers come from a
// Description. Each DLL of the kit defines ThePlugin() in a small source of
// its own, either a plain TestPlugin with its own Description or a subclass
// that adds the one behaviour that DLL exists to show.

#include <cstdint>

#include "scan/vst2/Vst2.h"

namespace kit {

struct CanDoAnswer {
    const char* query;  // compared exactly; null ends a table
    int32_t answer;
};

// What the plug-in reports. The defaults are the kit's plain plug-in.
struct Description {
    int32_t magic = kEffectMagic;
    int32_t uniqueId = 0x54455354;  // 'TEST'
    int32_t flags = 0;
    int32_t numInputs = 2;
    int32_t numOutputs = 2;
    const char* name = "Test Plugin";
    const char* vendor = "Test Vendor";
    const char* product = "Test Product";
    int32_t category = kPlugCategEffect;
    int32_t vendorVersion = 0;
    const CanDoAnswer* canDo = nullptr;  // queries not listed answer -1
};

class TestPlugin {
public:
    explicit TestPlugin(const Description& description);
    virtual ~TestPlugin() = default;
    TestPlugin(const TestPlugin&) = delete;
    TestPlugin& operator=(const TestPlugin&) = delete;

    // The work of every exported entry point. Each entry starts again from
    // the Description, as a freshly created instance would, runs OnEntry
    // and hands out the AEffect filled from what OnEntry left.
    virtual AEffect* Enter(HostCallbackFn host, const char* exportName);

    // Answers the dispatcher from the current description. Strings are
    // copied whole, however long: the kit trusts the host's buffer as a
    // plug-in does. effShellGetNextPlugin answers 0 and effClose 0.
    virtual VstIntPtr Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                               float opt);

protected:
    // Runs inside the entry call, before the AEffect is filled; may call the
    // host and change `current`.
    virtual void OnEntry(const char* exportName) {}

    VstIntPtr CallHost(int32_t opcode, VstIntPtr value = 0, void* ptr = nullptr);

    // What the plug-in reports from now on.
    Description current;

private:
    const Description defaults_;
    HostCallbackFn host_ = nullptr;
    AEffect effect_ = {};
};

// Defined by each DLL of the kit: the one instance its entry points use.
TestPlugin& ThePlugin();

// Copies text and its NUL into a buffer of the host's; returns 1.
VstIntPtr CopyString(void* buffer, const char* text);

}  // namespace kit
