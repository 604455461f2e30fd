#pragma once

// Our own declarations of the CLAP plug-in ABI on Windows x64 and x86,
// written from its documented structures: only what the server (and the
// test kit's fakes) use. Every function is a plain C function of the
// platform's default convention (cdecl on x86); structures have their
// natural layout.

#include <cstddef>
#include <cstdint>

struct ClapVersion {
    uint32_t major;
    uint32_t minor;
    uint32_t revision;
};

// A version with major 0 is from before the first release, whose ABI was
// not yet fixed.
constexpr bool IsClapRelease(const ClapVersion& version) {
    return version.major >= 1;
}

// The version the server declares to plug-ins as its own.
constexpr ClapVersion kServerClapVersion = {1, 2, 0};

struct ClapHost;

// The exported data symbol "clap_entry".
struct ClapPluginEntry {
    ClapVersion clapVersion;
    bool (*init)(const char* pluginPath);
    void (*deinit)();
    const void* (*getFactory)(const char* factoryId);
};

struct ClapPluginDescriptor {
    ClapVersion clapVersion;
    const char* id;
    const char* name;
    const char* vendor;
    const char* url;
    const char* manualUrl;
    const char* supportUrl;
    const char* version;
    const char* description;
    const char* const* features;  // ends with a null entry
};

struct ClapPlugin {
    const ClapPluginDescriptor* descriptor;
    void* pluginData;
    bool (*init)(const ClapPlugin* plugin);
    void (*destroy)(const ClapPlugin* plugin);
    bool (*activate)(const ClapPlugin* plugin, double sampleRate, uint32_t minFrames, uint32_t maxFrames);
    void (*deactivate)(const ClapPlugin* plugin);
    bool (*startProcessing)(const ClapPlugin* plugin);
    void (*stopProcessing)(const ClapPlugin* plugin);
    void (*reset)(const ClapPlugin* plugin);
    int32_t (*process)(const ClapPlugin* plugin, const void* process);
    const void* (*getExtension)(const ClapPlugin* plugin, const char* id);
    void (*onMainThread)(const ClapPlugin* plugin);
};

#define CLAP_PLUGIN_FACTORY_ID "clap.plugin-factory"

struct ClapPluginFactory {
    uint32_t (*getPluginCount)(const ClapPluginFactory* factory);
    const ClapPluginDescriptor* (*getPluginDescriptor)(const ClapPluginFactory* factory, uint32_t index);
    const ClapPlugin* (*createPlugin)(const ClapPluginFactory* factory, const ClapHost* host, const char* pluginId);
};

struct ClapHost {
    ClapVersion clapVersion;
    void* hostData;
    const char* name;
    const char* vendor;
    const char* url;
    const char* version;
    const void* (*getExtension)(const ClapHost* host, const char* extensionId);
    void (*requestRestart)(const ClapHost* host);
    void (*requestProcess)(const ClapHost* host);
    void (*requestCallback)(const ClapHost* host);
};

constexpr size_t kClapNameSize = 256;

#define CLAP_EXT_AUDIO_PORTS "clap.audio-ports"
constexpr uint32_t kClapAudioPortIsMain = 1u << 0;

struct ClapAudioPortInfo {
    uint32_t id;
    char name[kClapNameSize];
    uint32_t flags;
    uint32_t channelCount;
    const char* portType;
    uint32_t inPlacePair;
};

struct ClapPluginAudioPorts {
    uint32_t (*count)(const ClapPlugin* plugin, bool isInput);
    bool (*get)(const ClapPlugin* plugin, uint32_t index, bool isInput, ClapAudioPortInfo* info);
};

#define CLAP_EXT_NOTE_PORTS "clap.note-ports"

// Note dialects a port may speak.
constexpr uint32_t kClapNoteDialectClap = 1u << 0;
constexpr uint32_t kClapNoteDialectMidi = 1u << 1;

struct ClapNotePortInfo {
    uint32_t id;
    uint32_t supportedDialects;
    uint32_t preferredDialect;
    char name[kClapNameSize];
};

struct ClapPluginNotePorts {
    uint32_t (*count)(const ClapPlugin* plugin, bool isInput);
    bool (*get)(const ClapPlugin* plugin, uint32_t index, bool isInput, ClapNotePortInfo* info);
};
