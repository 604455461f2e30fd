#include "tests/plugins/kit/TestPlugin.h"

#include <cstring>

namespace kit {

namespace {

VstIntPtr VSTCALL DispatchToPlugin(AEffect* effect, int32_t opcode, int32_t index, VstIntPtr value,
                           void* ptr, float opt) {
    return static_cast<TestPlugin*>(effect->object)->Dispatch(opcode, index, value, ptr, opt);
}

// Audio is never processed during a scan; these only complete the AEffect.
void ProcessNothing(AEffect*, float**, float**, int32_t) {}
void ProcessNothingDouble(AEffect*, double**, double**, int32_t) {}
void SetNoParameter(AEffect*, int32_t, float) {}
float GetNoParameter(AEffect*, int32_t) {
    return 0.0f;
}

VstIntPtr AnswerCanDo(const CanDoAnswer* table, const char* query) {
    for (const CanDoAnswer* row = table; query && row && row->query; row++) {
        if (strcmp(row->query, query) == 0)
            return row->answer;
    }
    return -1;
}

}  // namespace

TestPlugin::TestPlugin(const Description& description)
    : current(description), defaults_(description) {}

AEffect* TestPlugin::Enter(HostCallbackFn host, const char* exportName) {
    host_ = host;
    current = defaults_;
    OnEntry(exportName);

    effect_ = AEffect{};
    effect_.magic = current.magic;
    effect_.dispatcher = DispatchToPlugin;
    effect_.process = ProcessNothing;
    effect_.setParameter = SetNoParameter;
    effect_.getParameter = GetNoParameter;
    effect_.numInputs = current.numInputs;
    effect_.numOutputs = current.numOutputs;
    effect_.flags = current.flags;
    effect_.object = this;
    effect_.uniqueID = current.uniqueId;
    effect_.version = 1;
    effect_.processReplacing = ProcessNothing;
    effect_.processDoubleReplacing = ProcessNothingDouble;
    return &effect_;
}

VstIntPtr TestPlugin::Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                               float opt) {
    switch (opcode) {
    case effGetEffectName:
        return CopyString(ptr, current.name);
    case effGetVendorString:
        return CopyString(ptr, current.vendor);
    case effGetProductString:
        return CopyString(ptr, current.product);
    case effGetPlugCategory:
        return current.category;
    case effGetVendorVersion:
        return current.vendorVersion;
    case effCanDo:
        return AnswerCanDo(current.canDo, static_cast<const char*>(ptr));
    default:
        return 0;
    }
}

VstIntPtr TestPlugin::CallHost(int32_t opcode, VstIntPtr value, void* ptr) {
    return host_ ? host_(&effect_, opcode, 0, value, ptr, 0.0f) : 0;
}

VstIntPtr CopyString(void* buffer, const char* text) {
    if (buffer)
        strcpy(static_cast<char*>(buffer), text);
    return 1;
}

}  // namespace kit
