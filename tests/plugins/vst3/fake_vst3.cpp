// A VST3 module of the test kit, written as a plug-in author writes one:
// C++ classes whose virtual __stdcall methods make the interfaces' tables.
// One source serves every VST3 fake; the definitions below (set by
// CMakeLists.txt) choose what it gets wrong. Unset, it is the good module:
// IPluginFactory3, two audio module classes.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "scan/vst3/Vst3.h"

#ifndef FAKE_INIT_RESULT
#define FAKE_INIT_RESULT true  // what InitDll answers
#endif
#ifndef FAKE_FACTORY_LEVEL
#define FAKE_FACTORY_LEVEL 3  // the richest IPluginFactory it answers
#endif
#ifndef FAKE_CLASS_COUNT
#define FAKE_CLASS_COUNT 2  // what countClasses answers
#endif
#ifndef FAKE_DESCRIBED
#define FAKE_DESCRIBED FAKE_CLASS_COUNT  // classes below this index answer getClassInfo*
#endif
#ifndef FAKE_ZERO_CID
#define FAKE_ZERO_CID 0  // class 1's id is all zeros
#endif
#ifndef FAKE_LATIN1_NAME
#define FAKE_LATIN1_NAME 0  // class 0's char8 name is ISO 8859-1, not UTF-8
#endif
#ifndef FAKE_NULL_FACTORY
#define FAKE_NULL_FACTORY 0  // GetPluginFactory answers NULL
#endif
#ifndef FAKE_FAULT_IN_INITIALIZE
#define FAKE_FAULT_IN_INITIALIZE 0  // IComponent::initialize writes to address 0
#endif
#ifndef FAKE_OWN_FILTER
#define FAKE_OWN_FILTER 0  // InitDll installs a filter of its own; getFactoryInfo faults
#endif
#ifndef FAKE_LATE_FAULT
#define FAKE_LATE_FAULT 0  // IComponent::initialize pins the module and starts a thread that faults 250 ms later
#endif

// The interfaces the fake calls on the host's objects. Not in an anonymous
// namespace: GCC would then know every class derived from them, find none
// that is concrete, and compile each call as a call of a pure virtual.
namespace fake {

class FakeUnknown {
public:
    virtual Vst3Result VST3CALL queryInterface(const uint8_t* iid, void** object) = 0;
    virtual uint32_t VST3CALL addRef() = 0;
    virtual uint32_t VST3CALL release() = 0;
};

class HostApplication : public FakeUnknown {
public:
    virtual Vst3Result VST3CALL getName(wchar_t* name) = 0;
    virtual Vst3Result VST3CALL createInstance(const uint8_t* cid, const uint8_t* iid, void** object) = 0;
};

}  // namespace fake

using fake::FakeUnknown;
using fake::HostApplication;

namespace {

void WriteToAddressZero() {
    volatile int* target = nullptr;
    __asm__ volatile("" : "+r"(target));
    *target = 1;
}

LONG WINAPI OwnFilter(EXCEPTION_POINTERS*) {
    ExitProcess(77);
}

DWORD WINAPI FaultAfterAWhile(void*) {
    Sleep(250);
    WriteToAddressZero();
    return 0;
}

// Long after the report: the server dies scanning others, or between
// requests. The module pins itself so that the fault lies in its code.
void FaultLater() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&FaultAfterAWhile), &self);
    HANDLE thread = CreateThread(nullptr, 0, FaultAfterAWhile, nullptr, 0, nullptr);
    if (thread)
        CloseHandle(thread);
}

bool Same(const uint8_t* id, const Vst3Uid& known) {
    return memcmp(id, known.bytes, 16) == 0;
}

void CopyText(char* field, size_t size, const char* text) {
    snprintf(field, size, "%s", text);
}

void CopyText(wchar_t* field, size_t size, const wchar_t* text) {
    size_t n = 0;
    for (; n + 1 < size && text[n]; n++)
        field[n] = text[n];
    field[n] = 0;
}

struct Bus {
    int32_t busType;
    int32_t channels;
};

struct FakeClass {
    Vst3Uid cid;
    const char* category;
    const wchar_t* name;
    const char* subCategories;
    Bus inputs[2];
    int32_t inputCount;
    Bus outputs[1];
    int32_t outputCount;
    int32_t eventInputs;
};

// The effect's first input bus is an auxiliary mono one: the main one
// comes second.
const FakeClass kClasses[2] = {
    {Vst3ComUid(0x5EC0DE01, 0x0A0B4C0D, 0x8E8F9091, 0x92939495), VST3_AUDIO_MODULE_CLASS, L"Fake D\u00e9lai",
     "Fx|Delay", {{kVst3AuxBus, 1}, {kVst3MainBus, 2}}, 2, {{kVst3MainBus, 2}}, 1, 0},
    {Vst3ComUid(0x5EC0DE02, 0x1A1B1C1D, 0x1E1F2021, 0x22232425), VST3_AUDIO_MODULE_CLASS, L"Fake Synth",
     "Instrument|Synth", {}, 0, {{kVst3MainBus, 2}}, 1, 1},
};

const Vst3Uid kControllerCid = Vst3ComUid(0x5EC0DE03, 0, 0, 0);

class Component : public FakeUnknown {
public:
    explicit Component(const FakeClass& description) : description_(description) {}

    Vst3Result VST3CALL queryInterface(const uint8_t* iid, void** object) override {
        if (Same(iid, kIidFUnknown) || Same(iid, kIidPluginBase) || Same(iid, kIidComponent)) {
            *object = this;
            addRef();
            return kVst3ResultOk;
        }
        *object = nullptr;
        return kVst3NoInterface;
    }
    uint32_t VST3CALL addRef() override { return ++references_; }
    uint32_t VST3CALL release() override { return --references_; }

    virtual Vst3Result VST3CALL initialize(FakeUnknown* context) {
        if (FAKE_FAULT_IN_INITIALIZE)
            WriteToAddressZero();
        if (FAKE_LATE_FAULT)
            FaultLater();
        // As plug-ins do: the host's name, and an interface it lacks.
        void* object = nullptr;
        if (context && context->queryInterface(kIidHostApplication.bytes, &object) == kVst3ResultOk && object) {
            auto* host = static_cast<HostApplication*>(object);
            wchar_t name[128] = {};
            host->getName(name);
            host->release();
        }
        if (context)
            context->queryInterface(kIidComponent.bytes, &object);
        return kVst3ResultOk;
    }
    virtual Vst3Result VST3CALL terminate() { return kVst3ResultOk; }
    virtual Vst3Result VST3CALL getControllerClassId(uint8_t*) { return kVst3ResultFalse; }
    virtual Vst3Result VST3CALL setIoMode(int32_t) { return kVst3NotImplemented; }
    virtual int32_t VST3CALL getBusCount(int32_t type, int32_t direction) {
        if (type == kVst3Audio)
            return direction == kVst3Input ? description_.inputCount : description_.outputCount;
        return direction == kVst3Input ? description_.eventInputs : 0;
    }
    virtual Vst3Result VST3CALL getBusInfo(int32_t type, int32_t direction, int32_t index, Vst3BusInfo* bus) {
        if (type != kVst3Audio || index < 0 || index >= getBusCount(type, direction))
            return kVst3InvalidArgument;
        const Bus& source = direction == kVst3Input ? description_.inputs[index] : description_.outputs[index];
        memset(bus, 0, sizeof(*bus));
        bus->mediaType = type;
        bus->direction = direction;
        bus->channelCount = source.channels;
        bus->busType = source.busType;
        CopyText(bus->name, 128, source.busType == kVst3MainBus ? L"Main" : L"Side");
        return kVst3ResultOk;
    }
    virtual Vst3Result VST3CALL getRoutingInfo(void*, void*) { return kVst3NotImplemented; }
    virtual Vst3Result VST3CALL activateBus(int32_t, int32_t, int32_t, uint8_t) { return kVst3ResultOk; }
    virtual Vst3Result VST3CALL setActive(uint8_t) { return kVst3ResultOk; }
    virtual Vst3Result VST3CALL setState(void*) { return kVst3NotImplemented; }
    virtual Vst3Result VST3CALL getState(void*) { return kVst3NotImplemented; }

private:
    const FakeClass& description_;
    uint32_t references_ = 1;
};

Component components[2] = {Component(kClasses[0]), Component(kClasses[1])};

// The id of a class: class 1's zeroed when asked, those past the two audio
// classes are controllers numbered by index.
Vst3Uid ClassId(int32_t index) {
    if (index == 1 && FAKE_ZERO_CID)
        return Vst3Uid{};
    if (index < 2)
        return kClasses[index].cid;
    Vst3Uid id = kControllerCid;
    memcpy(id.bytes + 12, &index, 4);
    return id;
}

void DescribeCommon(int32_t index, uint8_t* cid, int32_t* cardinality, char* category) {
    Vst3Uid id = ClassId(index);
    memcpy(cid, id.bytes, 16);
    *cardinality = kVst3ManyInstances;
    CopyText(category, 32, index < 2 ? kClasses[index].category : "Component Controller Class");
}

// A char8 name: UTF-8 of the class's name, or ISO 8859-1 bytes when asked.
void NarrowName(int32_t index, char* name) {
    if (index >= 2) {
        CopyText(name, 64, "Fake Controller");
        return;
    }
    if (index == 0 && FAKE_LATIN1_NAME) {
        CopyText(name, 64, "Caf\xE9 Delay");
        return;
    }
    WideCharToMultiByte(CP_UTF8, 0, kClasses[index].name, -1, name, 64, nullptr, nullptr);
}

class Factory : public FakeUnknown {
public:
    Vst3Result VST3CALL queryInterface(const uint8_t* iid, void** object) override {
        if (Same(iid, kIidFUnknown) || Same(iid, kIidPluginFactory) ||
            (Same(iid, kIidPluginFactory2) && FAKE_FACTORY_LEVEL >= 2) ||
            (Same(iid, kIidPluginFactory3) && FAKE_FACTORY_LEVEL >= 3)) {
            *object = this;
            addRef();
            return kVst3ResultOk;
        }
        *object = nullptr;
        return kVst3NoInterface;
    }
    uint32_t VST3CALL addRef() override { return ++references_; }
    uint32_t VST3CALL release() override { return --references_; }

    virtual Vst3Result VST3CALL getFactoryInfo(Vst3FactoryInfo* info) {
        if (FAKE_OWN_FILTER)
            WriteToAddressZero();
        memset(info, 0, sizeof(*info));
        CopyText(info->vendor, sizeof(info->vendor), "Fake Vendor");
        CopyText(info->url, sizeof(info->url), "https://example.invalid/fake");
        CopyText(info->email, sizeof(info->email), "fake@example.invalid");
        info->flags = FAKE_FACTORY_LEVEL >= 3 ? 16 : 0;
        return kVst3ResultOk;
    }
    virtual int32_t VST3CALL countClasses() { return FAKE_CLASS_COUNT; }
    virtual Vst3Result VST3CALL getClassInfo(int32_t index, Vst3ClassInfo* info) {
        if (index < 0 || index >= FAKE_DESCRIBED)
            return kVst3InvalidArgument;
        memset(info, 0, sizeof(*info));
        DescribeCommon(index, info->cid, &info->cardinality, info->category);
        NarrowName(index, info->name);
        return kVst3ResultOk;
    }
    virtual Vst3Result VST3CALL createInstance(const uint8_t* cid, const uint8_t* iid, void** object) {
        *object = nullptr;
        for (int i = 0; i < 2; i++) {
            if (Same(cid, ClassId(i)))
                return components[i].queryInterface(iid, object);
        }
        return kVst3ResultFalse;
    }
    virtual Vst3Result VST3CALL getClassInfo2(int32_t index, Vst3ClassInfo2* info) {
        if (index < 0 || index >= FAKE_DESCRIBED)
            return kVst3InvalidArgument;
        memset(info, 0, sizeof(*info));
        DescribeCommon(index, info->cid, &info->cardinality, info->category);
        NarrowName(index, info->name);
        info->classFlags = 1;
        CopyText(info->subCategories, 128, index < 2 ? kClasses[index].subCategories : "");
        CopyText(info->vendor, 64, "Fake Vendor");
        CopyText(info->version, 64, "1.2.3");
        CopyText(info->sdkVersion, 64, "VST 3.7.9");
        return kVst3ResultOk;
    }
    virtual Vst3Result VST3CALL getClassInfoUnicode(int32_t index, Vst3ClassInfoW* info) {
        if (index < 0 || index >= FAKE_DESCRIBED)
            return kVst3InvalidArgument;
        memset(info, 0, sizeof(*info));
        DescribeCommon(index, info->cid, &info->cardinality, info->category);
        CopyText(info->name, 64, index < 2 ? kClasses[index].name : L"Fake Controller");
        info->classFlags = 1;
        CopyText(info->subCategories, 128, index < 2 ? kClasses[index].subCategories : "");
        CopyText(info->vendor, 64, L"Fake Vendor");
        CopyText(info->version, 64, L"1.2.3");
        CopyText(info->sdkVersion, 64, L"VST 3.7.9");
        return kVst3ResultOk;
    }
    virtual Vst3Result VST3CALL setHostContext(FakeUnknown* context) {
        void* object = nullptr;
        if (context && context->queryInterface(kIidHostApplication.bytes, &object) == kVst3ResultOk && object)
            static_cast<FakeUnknown*>(object)->release();
        return kVst3ResultOk;
    }

private:
    uint32_t references_ = 0;
};

Factory factory;

}  // namespace

extern "C" bool InitDll() {
    if (FAKE_OWN_FILTER)
        SetUnhandledExceptionFilter(OwnFilter);
    return FAKE_INIT_RESULT;
}

extern "C" bool ExitDll() {
    return true;
}

extern "C" FakeUnknown* VST3CALL GetPluginFactory() {
    if (FAKE_NULL_FACTORY)
        return nullptr;
    factory.addRef();
    return &factory;
}
