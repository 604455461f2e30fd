#include "scan/clap/ClapScan.h"

#include <cstring>
#include <new>

#include "scan/ModuleScan.h"
#include "scan/ScanReport.h"
#include "server/Architecture.h"

using Simple::CStringW;
using Simple::FormatString;

namespace {

// CLAP strings are unbounded C strings; no more than this is read of one.
constexpr size_t kMaxTextBytes = 16 * 1024;
// Nor more than this many features of one plug-in.
constexpr int kMaxFeatures = 256;

CStringW Shown(const wchar_t* text) {
    return JsonEscape(text);
}

CStringW VersionText(const ClapVersion& version) {
    return FormatString(L"%u.%u.%u", version.major, version.minor, version.revision);
}

// The features up to their null entry, joined with "|".
CStringW JoinFeatures(const char* const* features, bool* notUtf8) {
    CStringW joined;
    joined.Reserve(0);
    if (!features)
        return joined;
    for (int i = 0; i < kMaxFeatures && features[i]; i++) {
        if (i > 0)
            joined.Append(L"|", 1);
        joined.Append(PluginText(features[i], kMaxTextBytes, notUtf8));
    }
    return joined;
}

// The channel count of the port flagged main in the direction; 0 when
// there is none.
int32_t MainChannels(const ClapPluginAudioPorts* ports, const ClapPlugin* plugin, bool isInput) {
    int32_t channels = 0;
    CallPlugin([&] {
        uint32_t count = ports->count ? ports->count(plugin, isInput) : 0;
        if (count > kMaxPortsRead)
            count = kMaxPortsRead;
        for (uint32_t index = 0; index < count && ports->get; index++) {
            ClapAudioPortInfo info;
            memset(&info, 0, sizeof(info));
            if (ports->get(plugin, index, isInput, &info) && (info.flags & kClapAudioPortIsMain)) {
                channels = static_cast<int32_t>(info.channelCount);
                return;
            }
        }
    });
    return channels;
}

uint32_t NotePortCount(const ClapPluginNotePorts* ports, const ClapPlugin* plugin, bool isInput) {
    uint32_t count = 0;
    CallPlugin([&] { count = ports->count ? ports->count(plugin, isInput) : 0; });
    return count;
}

void Destroy(const ClapPlugin* plugin, uint32_t index) {
    LogInfo(L"Destroying plugin %u...\n", index);
    CallPlugin([&] {
        if (plugin->destroy)
            plugin->destroy(plugin);
    });
}

// One instance: created with our host, initialized, asked for its audio
// and note ports, destroyed.
void ReadPorts(const ClapPluginFactory* factory, const char* id, uint32_t index, CClapPlugin& entry,
               CStringW& error) {
    LogInfo(L"Creating plugin %u...\n", index);
    const ClapPlugin* plugin = nullptr;
    CallPlugin([&] { plugin = factory->createPlugin ? factory->createPlugin(factory, ServerClapHost(), id) : nullptr; });
    if (!plugin) {
        NoteProblem(error, FormatString(L"Plugin %u ('%s'): create_plugin returned NULL", index, Shown(entry.id)));
        return;
    }
    LogInfo(L"Calling init() of plugin %u...\n", index);
    bool initialized = false;
    CallPlugin([&] { initialized = plugin->init && plugin->init(plugin); });
    if (!initialized) {
        NoteProblem(error, FormatString(L"Plugin %u ('%s'): init returned false", index, Shown(entry.id)));
        Destroy(plugin, index);
        return;
    }
    LogInfo(L"Reading the ports of plugin %u...\n", index);
    const ClapPluginAudioPorts* audio = nullptr;
    const ClapPluginNotePorts* notes = nullptr;
    CallPlugin([&] {
        if (plugin->getExtension) {
            audio = static_cast<const ClapPluginAudioPorts*>(plugin->getExtension(plugin, CLAP_EXT_AUDIO_PORTS));
            notes = static_cast<const ClapPluginNotePorts*>(plugin->getExtension(plugin, CLAP_EXT_NOTE_PORTS));
        }
    });
    if (audio) {
        entry.placement.numInputs = MainChannels(audio, plugin, true);
        entry.placement.numOutputs = MainChannels(audio, plugin, false);
    }
    if (notes) {
        entry.placement.wantsMidi = NotePortCount(notes, plugin, true) > 0;
        entry.placement.sendsMidi = NotePortCount(notes, plugin, false) > 0;
    }
    entry.placement.instantiated = true;
    Destroy(plugin, index);
}

void ReadDescriptor(const ClapPluginFactory* factory, uint32_t index, CClapModule& record) {
    CClapPlugin* entry = new (std::nothrow) CClapPlugin;
    if (!entry) {
        NoteProblem(record.error, FormatString(L"Not enough memory for plugin %u", index));
        return;
    }
    // The descriptor's text is copied inside the guarded call: a pointer
    // into nowhere faults there, as the plug-in's own fault.
    bool present = false;
    bool notUtf8 = false;
    bool named = false;
    const char* id = nullptr;
    ClapVersion version = {0, 0, 0};
    CallPlugin([&] {
        const ClapPluginDescriptor* descriptor =
            factory->getPluginDescriptor ? factory->getPluginDescriptor(factory, index) : nullptr;
        if (!descriptor)
            return;
        present = true;
        version = descriptor->clapVersion;
        id = descriptor->id;
        named = descriptor->name != nullptr;
        entry->id = PluginText(descriptor->id, kMaxTextBytes, &notUtf8);
        entry->name = PluginText(descriptor->name, kMaxTextBytes, &notUtf8);
        entry->vendor = PluginText(descriptor->vendor, kMaxTextBytes, &notUtf8);
        entry->version = PluginText(descriptor->version, kMaxTextBytes, &notUtf8);
        entry->description = PluginText(descriptor->description, kMaxTextBytes, &notUtf8);
        entry->url = PluginText(descriptor->url, kMaxTextBytes, &notUtf8);
        entry->manualUrl = PluginText(descriptor->manualUrl, kMaxTextBytes, &notUtf8);
        entry->supportUrl = PluginText(descriptor->supportUrl, kMaxTextBytes, &notUtf8);
        entry->features = JoinFeatures(descriptor->features, &notUtf8);
    });
    if (!present) {
        NoteProblem(record.error, FormatString(L"Descriptor %u of %u is NULL", index, record.pluginCount));
        delete entry;
        return;
    }
    LogInfo(L"Plugin %u: '%s' '%s'\n", index, Shown(entry->id), Shown(entry->name));
    if (notUtf8)
        LogWarning(L"Plugin %u: text that is not UTF-8, taken byte by byte\n", index);
    if (!record.plugins.Add(entry)) {
        delete entry;
        NoteProblem(record.error, FormatString(L"Not enough memory for plugin %u", index));
        return;
    }
    if (!id) {
        NoteProblem(record.error, FormatString(L"Descriptor %u has no id", index));
        return;
    }
    if (!named)
        NoteProblem(record.error, FormatString(L"Descriptor %u ('%s') has no name", index, Shown(entry->id)));
    if (!IsClapRelease(version)) {
        NoteProblem(record.error, FormatString(L"Descriptor %u ('%s') is of CLAP version %s, not a release", index,
                                               Shown(entry->id), VersionText(version)));
        return;
    }
    ReadPorts(factory, id, index, *entry, record.error);
}

void ReadFactory(const ClapPluginFactory* factory, CClapModule& record) {
    uint32_t count = 0;
    CallPlugin([&] { count = factory->getPluginCount ? factory->getPluginCount(factory) : 0; });
    record.pluginCount = count;
    LogInfo(L"Factory counts %u plugins\n", count);
    if (count > static_cast<uint32_t>(kMaxModuleClasses)) {
        NoteProblem(record.error, FormatString(L"The factory counts %u plugins: only the first %i are read", count,
                                               kMaxModuleClasses));
        count = kMaxModuleClasses;
    }
    for (uint32_t index = 0; index < count; index++)
        ReadDescriptor(factory, index, record);
}

}  // namespace

bool ProbeClapModule(HMODULE module, const CStringW& path, CClapModule& record) {
    LogInfo(L"Looking for clap_entry in module %016I64X\n",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(module)));
    auto* exported = reinterpret_cast<const ClapPluginEntry*>(GetProcAddress(module, "clap_entry"));
    if (!exported) {
        record.error = L"clap_entry not found, not a CLAP plugin";
        return false;
    }
    ClapPluginEntry entry;
    CallPlugin([&] { entry = *exported; });
    record.clapVersion = entry.clapVersion;
    record.versionRead = true;
    LogInfo(L"Found clap_entry, CLAP version %s\n", VersionText(entry.clapVersion));
    if (!IsClapRelease(entry.clapVersion)) {
        record.error = FormatString(L"CLAP version %s is not a release, refused", VersionText(entry.clapVersion));
        return false;
    }
    if (!entry.init || !entry.getFactory) {
        record.error = L"clap_entry lacks init or get_factory";
        return false;
    }
    Simple::CStringA utf8Path = Simple::ToUtf8(path);
    if (utf8Path.IsNull()) {
        record.error = L"Not enough memory to probe the plugin";
        return false;
    }
    LogInfo(L"Calling clap_entry.init()...\n");
    bool initialized = false;
    CallPlugin([&] { initialized = entry.init(utf8Path); });
    // A module whose init failed must not be called again, deinit included.
    if (!initialized) {
        record.error = L"clap_entry.init returned false";
        return false;
    }
    LogInfo(L"Calling clap_entry.get_factory()...\n");
    const ClapPluginFactory* factory = nullptr;
    CallPlugin([&] { factory = static_cast<const ClapPluginFactory*>(entry.getFactory(CLAP_PLUGIN_FACTORY_ID)); });
    if (!factory)
        NoteProblem(record.error, L"clap_entry.get_factory gave no plugin factory");
    else
        ReadFactory(factory, record);
    LogInfo(L"Calling clap_entry.deinit()...\n");
    CallPlugin([&] {
        if (entry.deinit)
            entry.deinit();
    });
    return record.error.GetLength() == 0;
}

void ScanClapModule(const CStringW& path) {
    CClapModule record;
    if (HMODULE module = LoadScanModule(path, &record.error)) {
        ProbeClapModule(module, path, record);
        FreeScanModule(module);
        LogInfo(L"Finished\n");
    }
    if (record.error.GetLength() > 0)
        LogError(L"%s\n", record.error);
    WriteClapReport(record);
}

void WriteClapReport(const CClapModule& record) {
    LogData(L"{\n");
    WriteTextMember(1, L"format", L"CLAP");
    WriteTextMember(1, L"platform", SERVER_ARCHITECTURE);
    WriteTextMember(1, L"error", record.error);
    WriteTextMember(1, L"clapVersion", record.versionRead ? VersionText(record.clapVersion) : CStringW(L""));
    WriteNumberMember(1, L"classCount", record.pluginCount);
    LogData(L"  \"classes\": [\n");
    for (int32_t i = 0; i < record.plugins.GetCount(); i++) {
        const CClapPlugin& entry = *record.plugins[i];
        LogData(L"    {\n");
        WriteTextMember(3, L"id", entry.id);
        WriteTextMember(3, L"name", entry.name);
        WriteTextMember(3, L"vendor", entry.vendor);
        WriteTextMember(3, L"version", entry.version);
        WriteTextMember(3, L"description", entry.description);
        WriteTextMember(3, L"url", entry.url);
        WriteTextMember(3, L"manualUrl", entry.manualUrl);
        WriteTextMember(3, L"supportUrl", entry.supportUrl);
        WriteTextMember(3, L"features", entry.features);
        WritePlacementMembers(3, entry.placement);
        LogData(L"    },\n");
    }
    LogData(L"  ],\n");
    LogData(L"}\n");
}
