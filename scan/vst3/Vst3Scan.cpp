#include "scan/vst3/Vst3Scan.h"

#include <cstring>
#include <new>

#include "scan/ModuleScan.h"
#include "scan/ScanReport.h"
#include "scan/vst3/Vst3.h"
#include "scan/vst3/Vst3Host.h"
#include "server/Architecture.h"

using Simple::CStringW;
using Simple::FormatString;

namespace {

#if defined(__x86_64__)
const wchar_t kOwnFolder[] = VST3_X64_FOLDER;
const wchar_t kOtherFolder[] = VST3_X86_FOLDER;
const wchar_t kOtherArchitecture[] = L"x86";
#else
const wchar_t kOwnFolder[] = VST3_X86_FOLDER;
const wchar_t kOtherFolder[] = VST3_X64_FOLDER;
const wchar_t kOtherArchitecture[] = L"x64";
#endif

bool IsFolder(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The text in a report line or a log line: plug-in text goes out escaped,
// so that no name can break a line or forge one.
CStringW Shown(const wchar_t* text) {
    return JsonEscape(text);
}

CStringW ResultText(Vst3Result result) {
    return FormatString(L"0x%08X", static_cast<unsigned>(result));
}

bool IsZeroId(const uint8_t* id) {
    for (int i = 0; i < 16; i++) {
        if (id[i])
            return false;
    }
    return true;
}

// Asks the factory for a richer interface of itself; null when it has none
// (whatever it left in the pointer).
void* QueryFactory(Vst3Factory* factory, const Vst3Uid& iid, const wchar_t* name) {
    LogInfo(L"Asking the factory for %s...\n", name);
    void* object = nullptr;
    Vst3Result result = kVst3NoInterface;
    CallPlugin([&] { result = factory->table->unknown.queryInterface(factory, iid.bytes, &object); });
    return result == kVst3ResultOk ? object : nullptr;
}

void Release(void* object) {
    auto* unknown = static_cast<Vst3Interface<Vst3UnknownTable>*>(object);
    CallPlugin([&] { unknown->table->release(unknown); });
}

// Fills the class from the richest class info the factory gives. False
// when none answered; *result is the last answer. char8 text that is not
// UTF-8 is kept byte for byte and noted in *notUtf8.
bool ReadClassInfo(Vst3Factory* factory, Vst3Factory2* factory2, Vst3Factory3* factory3, int32_t index,
                   CVst3Class& entry, bool* notUtf8, Vst3Result* result) {
    if (factory3) {
        Vst3ClassInfoW info;
        memset(&info, 0, sizeof(info));
        CallPlugin([&] { *result = factory3->table->getClassInfoUnicode(factory3, index, &info); });
        if (*result == kVst3ResultOk) {
            memcpy(entry.cid, info.cid, sizeof(entry.cid));
            entry.cardinality = info.cardinality;
            entry.category = PluginText(info.category, sizeof(info.category), notUtf8);
            entry.name = PluginTextW(info.name, 64);
            entry.classFlags = info.classFlags;
            entry.subCategories = PluginText(info.subCategories, sizeof(info.subCategories), notUtf8);
            entry.vendor = PluginTextW(info.vendor, 64);
            entry.version = PluginTextW(info.version, 64);
            entry.sdkVersion = PluginTextW(info.sdkVersion, 64);
            return true;
        }
    }
    if (factory2) {
        Vst3ClassInfo2 info;
        memset(&info, 0, sizeof(info));
        CallPlugin([&] { *result = factory2->table->getClassInfo2(factory2, index, &info); });
        if (*result == kVst3ResultOk) {
            memcpy(entry.cid, info.cid, sizeof(entry.cid));
            entry.cardinality = info.cardinality;
            entry.category = PluginText(info.category, sizeof(info.category), notUtf8);
            entry.name = PluginText(info.name, sizeof(info.name), notUtf8);
            entry.classFlags = info.classFlags;
            entry.subCategories = PluginText(info.subCategories, sizeof(info.subCategories), notUtf8);
            entry.vendor = PluginText(info.vendor, sizeof(info.vendor), notUtf8);
            entry.version = PluginText(info.version, sizeof(info.version), notUtf8);
            entry.sdkVersion = PluginText(info.sdkVersion, sizeof(info.sdkVersion), notUtf8);
            return true;
        }
    }
    Vst3ClassInfo info;
    memset(&info, 0, sizeof(info));
    CallPlugin([&] { *result = factory->table->getClassInfo(factory, index, &info); });
    if (*result != kVst3ResultOk)
        return false;
    memcpy(entry.cid, info.cid, sizeof(entry.cid));
    entry.cardinality = info.cardinality;
    entry.category = PluginText(info.category, sizeof(info.category), notUtf8);
    // PClassInfo has no more: the other strings stay null, which the report
    // writes as empty.
    entry.name = PluginText(info.name, sizeof(info.name), notUtf8);
    return true;
}

// The channel count of the first audio bus of the main type in the
// direction; 0 when there is none.
int32_t MainAudioChannels(Vst3Component* component, int32_t direction) {
    int32_t count = 0;
    CallPlugin([&] { count = component->table->getBusCount(component, kVst3Audio, direction); });
    if (count > static_cast<int32_t>(kMaxPortsRead))
        count = static_cast<int32_t>(kMaxPortsRead);
    for (int32_t index = 0; index < count; index++) {
        Vst3BusInfo bus;
        memset(&bus, 0, sizeof(bus));
        Vst3Result result = kVst3ResultFalse;
        CallPlugin([&] { result = component->table->getBusInfo(component, kVst3Audio, direction, index, &bus); });
        if (result == kVst3ResultOk && bus.busType == kVst3MainBus)
            return bus.channelCount;
    }
    return 0;
}

int32_t EventBusCount(Vst3Component* component, int32_t direction) {
    int32_t count = 0;
    CallPlugin([&] { count = component->table->getBusCount(component, kVst3Event, direction); });
    return count;
}

// One instance of an audio module class: created, initialized with our
// host context, asked for its buses, terminated and released.
void ReadBuses(Vst3Factory* factory, int32_t index, CVst3Class& entry, CStringW& error) {
    LogInfo(L"Creating an instance of class %i...\n", index);
    void* object = nullptr;
    Vst3Result result = kVst3NoInterface;
    CallPlugin([&] { result = factory->table->createInstance(factory, entry.cid, kIidComponent.bytes, &object); });
    if (result != kVst3ResultOk || !object) {
        NoteProblem(error, FormatString(L"Class %i ('%s'): createInstance answered %s", index,
                                        Shown(entry.name), ResultText(result)));
        return;
    }
    auto* component = static_cast<Vst3Component*>(object);
    LogInfo(L"Initializing class %i...\n", index);
    CallPlugin([&] { result = component->table->initialize(component, Vst3HostContext()); });
    if (result != kVst3ResultOk) {
        // A component whose initialize failed is released without terminate.
        NoteProblem(error, FormatString(L"Class %i ('%s'): initialize answered %s", index, Shown(entry.name),
                                        ResultText(result)));
        LogInfo(L"Releasing class %i...\n", index);
        Release(component);
        return;
    }
    LogInfo(L"Reading the buses of class %i...\n", index);
    entry.placement.numInputs = MainAudioChannels(component, kVst3Input);
    entry.placement.numOutputs = MainAudioChannels(component, kVst3Output);
    entry.placement.wantsMidi = EventBusCount(component, kVst3Input) > 0;
    entry.placement.sendsMidi = EventBusCount(component, kVst3Output) > 0;
    entry.placement.instantiated = true;
    LogInfo(L"Terminating class %i...\n", index);
    CallPlugin([&] { component->table->terminate(component); });
    LogInfo(L"Releasing class %i...\n", index);
    Release(component);
}

void ReadClass(Vst3Factory* factory, Vst3Factory2* factory2, Vst3Factory3* factory3, int32_t index,
               int32_t count, CVst3Module& record) {
    CVst3Class* entry = new (std::nothrow) CVst3Class;
    if (!entry) {
        NoteProblem(record.error, FormatString(L"Not enough memory for class %i", index));
        return;
    }
    bool notUtf8 = false;
    Vst3Result result = kVst3ResultFalse;
    if (!ReadClassInfo(factory, factory2, factory3, index, *entry, &notUtf8, &result)) {
        NoteProblem(record.error, FormatString(L"Class %i of %i could not be read: getClassInfo answered %s",
                                               index, count, ResultText(result)));
        delete entry;
        return;
    }
    LogInfo(L"Class %i: %s '%s' %s\n", index, Shown(entry->category), Shown(entry->name), Vst3IdText(entry->cid));
    if (notUtf8)
        LogWarning(L"Class %i: text that is not UTF-8, taken byte by byte\n", index);
    if (!record.classes.Add(entry)) {
        delete entry;
        NoteProblem(record.error, FormatString(L"Not enough memory for class %i", index));
        return;
    }
    if (IsZeroId(entry->cid)) {
        NoteProblem(record.error, FormatString(L"Class %i ('%s') has a class id of all zeros", index,
                                               Shown(entry->name)));
        return;
    }
    if (entry->category == CStringW(L"" VST3_AUDIO_MODULE_CLASS))
        ReadBuses(factory, index, *entry, record.error);
}

void ReadFactory(Vst3Factory* factory, CVst3Module& record) {
    auto* factory3 = static_cast<Vst3Factory3*>(QueryFactory(factory, kIidPluginFactory3, L"IPluginFactory3"));
    auto* factory2 = factory3 ? nullptr
                              : static_cast<Vst3Factory2*>(QueryFactory(factory, kIidPluginFactory2, L"IPluginFactory2"));
    // IPluginFactory3 holds IPluginFactory2's functions, at the same places.
    Vst3Factory2* classInfo2 = factory3 ? reinterpret_cast<Vst3Factory2*>(factory3) : factory2;
    record.factoryInterface = factory3 ? L"IPluginFactory3" : factory2 ? L"IPluginFactory2" : L"IPluginFactory";
    LogInfo(L"Factory interface: %s\n", record.factoryInterface);
    if (factory3) {
        LogInfo(L"Setting the factory's host context...\n");
        CallPlugin([&] { factory3->table->setHostContext(factory3, Vst3HostContext()); });
    }

    LogInfo(L"Reading the factory info...\n");
    Vst3FactoryInfo info;
    memset(&info, 0, sizeof(info));
    Vst3Result result = kVst3ResultFalse;
    CallPlugin([&] { result = factory->table->getFactoryInfo(factory, &info); });
    bool notUtf8 = false;
    record.vendor = PluginText(info.vendor, sizeof(info.vendor), &notUtf8);
    record.url = PluginText(info.url, sizeof(info.url), &notUtf8);
    record.email = PluginText(info.email, sizeof(info.email), &notUtf8);
    record.factoryFlags = info.flags;
    if (result != kVst3ResultOk)
        LogWarning(L"getFactoryInfo answered %s\n", ResultText(result));
    if (notUtf8)
        LogWarning(L"Factory info: text that is not UTF-8, taken byte by byte\n");

    int32_t count = 0;
    CallPlugin([&] { count = factory->table->countClasses(factory); });
    record.classCount = count;
    LogInfo(L"Factory counts %i classes\n", count);
    if (count < 0) {
        NoteProblem(record.error, FormatString(L"The factory counts %i classes", count));
        count = 0;
    } else if (count > kMaxModuleClasses) {
        NoteProblem(record.error, FormatString(L"The factory counts %i classes: only the first %i are read", count,
                                               kMaxModuleClasses));
        count = kMaxModuleClasses;
    }
    for (int32_t index = 0; index < count; index++)
        ReadClass(factory, classInfo2, factory3, index, record.classCount, record);

    if (factory3)
        Release(factory3);
    if (factory2)
        Release(factory2);
}

}  // namespace

bool FindVst3Binary(const CStringW& path, CStringW* binary, CStringW* error) {
    if (!IsFolder(path)) {
        *binary = path;
        return !binary->IsNull();
    }
    int32_t length = path.GetLength();
    while (length > 0 && (path[length - 1] == L'\\' || path[length - 1] == L'/'))
        length--;
    CStringW bundle(path.GetBuffer(), length);
    int32_t start = length;
    while (start > 0 && bundle[start - 1] != L'\\' && bundle[start - 1] != L'/')
        start--;
    const wchar_t* name = bundle.GetBuffer() + start;
    *binary = FormatString(L"%s\\Contents\\%s\\%s", bundle, kOwnFolder, name);
    if (binary->IsNull()) {
        *error = L"Not enough memory for the request";
        return false;
    }
    if (IsFile(*binary)) {
        LogInfo(L"Bundle binary: '%s'\n", *binary);
        return true;
    }
    CStringW other = FormatString(L"%s\\Contents\\%s\\%s", bundle, kOtherFolder, name);
    *error = FormatString(L"The bundle has no binary for " SERVER_ARCHITECTURE L" (Contents\\%s\\%s)%s", kOwnFolder,
                          name, IsFile(other) ? FormatString(L"; it has one for %s", kOtherArchitecture) : CStringW(L""));
    return false;
}

bool ProbeVst3Module(HMODULE module, CVst3Module& record) {
    LogInfo(L"Looking for VST3 entry points in module %016I64X\n",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(module)));
    FARPROC getFactoryAddress = GetProcAddress(module, "GetPluginFactory");
    if (!getFactoryAddress) {
        record.error = L"GetPluginFactory not found, not a VST3 module";
        return false;
    }
    LogInfo(L"Found GetPluginFactory()\n");
    auto getFactory = reinterpret_cast<Vst3GetFactoryFn>(reinterpret_cast<void*>(getFactoryAddress));
    auto initDll = reinterpret_cast<Vst3ModuleFn>(reinterpret_cast<void*>(GetProcAddress(module, "InitDll")));
    auto exitDll = reinterpret_cast<Vst3ModuleFn>(reinterpret_cast<void*>(GetProcAddress(module, "ExitDll")));

    if (initDll) {
        LogInfo(L"Calling InitDll()...\n");
        bool initialized = false;
        CallPlugin([&] { initialized = initDll(); });
        // A module whose InitDll failed must not be used, nor told ExitDll.
        if (!initialized) {
            record.error = L"InitDll returned false";
            return false;
        }
    }

    LogInfo(L"Calling GetPluginFactory()...\n");
    Vst3Factory* factory = nullptr;
    CallPlugin([&] { factory = getFactory(); });
    if (!factory) {
        NoteProblem(record.error, L"GetPluginFactory returned NULL");
    } else {
        ReadFactory(factory, record);
        LogInfo(L"Releasing the factory...\n");
        Release(factory);
    }

    if (exitDll) {
        LogInfo(L"Calling ExitDll()...\n");
        CallPlugin([&] { exitDll(); });
    }
    return record.error.GetLength() == 0;
}

void ScanVst3Module(const CStringW& path) {
    CVst3Module record;
    CStringW binary;
    if (FindVst3Binary(path, &binary, &record.error)) {
        if (HMODULE module = LoadScanModule(binary, &record.error)) {
            ProbeVst3Module(module, record);
            FreeScanModule(module);
            LogInfo(L"Finished\n");
        }
    }
    if (record.error.GetLength() > 0)
        LogError(L"%s\n", record.error);
    WriteVst3Report(record);
}

void WriteVst3Report(const CVst3Module& record) {
    LogData(L"{\n");
    WriteTextMember(1, L"format", L"VST3");
    WriteTextMember(1, L"platform", SERVER_ARCHITECTURE);
    WriteTextMember(1, L"error", record.error);
    WriteTextMember(1, L"factory", record.factoryInterface);
    WriteTextMember(1, L"vendor", record.vendor);
    WriteTextMember(1, L"url", record.url);
    WriteTextMember(1, L"email", record.email);
    WriteNumberMember(1, L"flags", record.factoryFlags);
    WriteNumberMember(1, L"classCount", record.classCount);
    LogData(L"  \"classes\": [\n");
    for (int32_t i = 0; i < record.classes.GetCount(); i++) {
        const CVst3Class& entry = *record.classes[i];
        LogData(L"    {\n");
        WriteTextMember(3, L"cid", Vst3IdText(entry.cid));
        WriteTextMember(3, L"category", entry.category);
        WriteTextMember(3, L"name", entry.name);
        WriteTextMember(3, L"subCategories", entry.subCategories);
        WriteTextMember(3, L"vendor", entry.vendor);
        WriteTextMember(3, L"version", entry.version);
        WriteTextMember(3, L"sdkVersion", entry.sdkVersion);
        WriteNumberMember(3, L"cardinality", entry.cardinality);
        WriteNumberMember(3, L"classFlags", entry.classFlags);
        WritePlacementMembers(3, entry.placement);
        LogData(L"    },\n");
    }
    LogData(L"  ],\n");
    LogData(L"}\n");
}
