// A CLAP module of the test kit. One source serves every CLAP fake; the
// definitions below (set by CMakeLists.txt) choose what it gets wrong.
// Unset, it is the good module: two plug-ins, an effect with a stereo main
// port each way and a synthesizer with a note input.

#include <windows.h>

#include <csignal>
#include <cstring>

#include "scan/clap/Clap.h"

#ifndef FAKE_VERSION_MAJOR
#define FAKE_VERSION_MAJOR 1  // clap_entry's CLAP version
#endif
#ifndef FAKE_INIT_RESULT
#define FAKE_INIT_RESULT true  // what clap_entry.init answers
#endif
#ifndef FAKE_BAD_DESCRIPTORS
#define FAKE_BAD_DESCRIPTORS 0  // four descriptors: 1 NULL, 2 without strings, 3 not UTF-8
#endif
#ifndef FAKE_PLUGIN_COUNT
#define FAKE_PLUGIN_COUNT (FAKE_BAD_DESCRIPTORS ? 4 : 2)  // what get_plugin_count answers
#endif
#ifndef FAKE_FAULT_IN_INIT
#define FAKE_FAULT_IN_INIT 0  // the plug-in's init writes to address 0
#endif
#ifndef FAKE_IGNORE_SEGV
#define FAKE_IGNORE_SEGV 0  // before its fault, sets the shared msvcrt's SIGSEGV to SIG_IGN
#endif
#ifndef FAKE_FAULT_IN_DEINIT
#define FAKE_FAULT_IN_DEINIT 0  // clap_entry.deinit writes to address 0
#endif

namespace {

void WriteToAddressZero() {
    volatile int* target = nullptr;
    __asm__ volatile("" : "+r"(target));
    *target = 1;
}

constexpr ClapVersion kVersion = {FAKE_VERSION_MAJOR, 2, 0};

const char* const kDelayFeatures[] = {"audio-effect", "delay", "stereo", nullptr};
const char* const kSynthFeatures[] = {"instrument", "synthesizer", "stereo", nullptr};

const ClapPluginDescriptor kDelay = {
    kVersion, "org.example.fake-delay", "Fake Clap Delay", "Fake Vendor", "https://example.invalid/delay",
    "https://example.invalid/delay/manual", "https://example.invalid/support", "1.0.0",
    "A delay that \"delays\" nothing", kDelayFeatures};
const ClapPluginDescriptor kSynth = {
    kVersion, "org.example.fake-synth", "Fake Clap Synth", "Fake Vendor", "", nullptr, nullptr, "2.0",
    "", kSynthFeatures};
const ClapPluginDescriptor kNulls = {kVersion, "org.example.nulls", nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr};
const ClapPluginDescriptor kLatin1 = {kVersion, "org.example.latin1", "Caf\xE9 Synth", "Fake Vendor", "",
                                      "", "", "1.0", "", kSynthFeatures};

bool IsSynth(const ClapPlugin* plugin) {
    return plugin->descriptor == &kSynth || plugin->descriptor == &kLatin1;
}

// The effect lists an auxiliary mono input first: the main port comes second.
uint32_t AudioCount(const ClapPlugin* plugin, bool isInput) {
    if (IsSynth(plugin))
        return isInput ? 0 : 1;
    return isInput ? 2 : 1;
}

bool AudioGet(const ClapPlugin* plugin, uint32_t index, bool isInput, ClapAudioPortInfo* info) {
    if (index >= AudioCount(plugin, isInput))
        return false;
    memset(info, 0, sizeof(*info));
    bool side = isInput && index == 0;
    info->id = index;
    strcpy(info->name, side ? "Side" : "Main");
    info->flags = side ? 0 : kClapAudioPortIsMain;
    info->channelCount = side ? 1 : 2;
    info->portType = side ? "mono" : "stereo";
    info->inPlacePair = 0xFFFFFFFF;
    return true;
}

uint32_t NoteCount(const ClapPlugin* plugin, bool isInput) {
    return IsSynth(plugin) && isInput ? 1 : 0;
}

bool NoteGet(const ClapPlugin* plugin, uint32_t index, bool isInput, ClapNotePortInfo* info) {
    if (index >= NoteCount(plugin, isInput))
        return false;
    memset(info, 0, sizeof(*info));
    info->supportedDialects = kClapNoteDialectClap | kClapNoteDialectMidi;
    info->preferredDialect = kClapNoteDialectClap;
    strcpy(info->name, "Notes");
    return true;
}

const ClapPluginAudioPorts kAudioPorts = {AudioCount, AudioGet};
const ClapPluginNotePorts kNotePorts = {NoteCount, NoteGet};

const ClapHost* currentHost = nullptr;

bool Init(const ClapPlugin*) {
    if (FAKE_IGNORE_SEGV)
        signal(SIGSEGV, SIG_IGN);
    if (FAKE_FAULT_IN_INIT)
        WriteToAddressZero();
    // As plug-ins do: ask the host for its log, then for a callback.
    currentHost->getExtension(currentHost, "clap.log");
    currentHost->requestCallback(currentHost);
    return true;
}

void Destroy(const ClapPlugin*) {}

const void* GetExtension(const ClapPlugin* plugin, const char* id) {
    if (strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0)
        return &kAudioPorts;
    if (strcmp(id, CLAP_EXT_NOTE_PORTS) == 0 && IsSynth(plugin))
        return &kNotePorts;
    return nullptr;
}

ClapPlugin MakePlugin(const ClapPluginDescriptor* descriptor) {
    ClapPlugin plugin = {};
    plugin.descriptor = descriptor;
    plugin.init = Init;
    plugin.destroy = Destroy;
    plugin.getExtension = GetExtension;
    return plugin;
}

ClapPlugin plugins[3] = {MakePlugin(&kDelay), MakePlugin(&kSynth), MakePlugin(&kLatin1)};

uint32_t GetPluginCount(const ClapPluginFactory*) {
    return FAKE_PLUGIN_COUNT;
}

const ClapPluginDescriptor* GetPluginDescriptor(const ClapPluginFactory*, uint32_t index) {
    if (FAKE_BAD_DESCRIPTORS) {
        const ClapPluginDescriptor* bad[] = {&kDelay, nullptr, &kNulls, &kLatin1};
        return index < 4 ? bad[index] : nullptr;
    }
    if (index >= FAKE_PLUGIN_COUNT)
        return nullptr;
    return index % 2 ? &kSynth : &kDelay;
}

const ClapPlugin* CreatePlugin(const ClapPluginFactory*, const ClapHost* host, const char* id) {
    currentHost = host;
    for (ClapPlugin& plugin : plugins) {
        if (strcmp(plugin.descriptor->id, id) == 0)
            return &plugin;
    }
    return nullptr;
}

const ClapPluginFactory kFactory = {GetPluginCount, GetPluginDescriptor, CreatePlugin};

bool EntryInit(const char* path) {
    return FAKE_INIT_RESULT && path && strstr(path, ".clap");
}

void EntryDeinit() {
    if (FAKE_FAULT_IN_DEINIT)
        WriteToAddressZero();
}

const void* EntryGetFactory(const char* id) {
    return strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : nullptr;
}

}  // namespace

extern "C" const ClapPluginEntry clap_entry = {kVersion, EntryInit, EntryDeinit, EntryGetFactory};
