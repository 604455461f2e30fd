#include "scan/vst2/Probe.h"

#include <new>

#include "scan/vst2/HostCallback.h"
#include "server/CrashDump.h"
#include "server/FaultGuard.h"
#include "server/MessageChannel.h"
#include "server/PluginCall.h"
#include "server/ServerState.h"
#include "simple/ElementPolicy.h"
#include "simple/Map.h"

// The record keeps VST 2's category as the plug-in gave it.
static_assert(kPlugCategShell == kShellCategory, "a VST 2 shell is a shell in the report");

namespace {

// Plug-ins are asked to write at most 511 bytes and a NUL, yet some write
// more. Their answers go into a scratch area far larger than that, followed
// by an inaccessible page: a string that runs past the area faults at once
// instead of silently overwriting the server's memory. The area lives for
// the process.
constexpr size_t kScratchSize = 64 * 1024;
char* stringScratch = nullptr;

char* StringScratch() {
    if (stringScratch)
        return stringScratch;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    size_t guard = system.dwPageSize;
    char* base = static_cast<char*>(
        VirtualAlloc(nullptr, kScratchSize + guard, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base)
        return nullptr;
    DWORD old = 0;
    if (!VirtualProtect(base + kScratchSize, guard, PAGE_NOACCESS, &old)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    stringScratch = base;
    return stringScratch;
}

// Cleared whole before each question, so that an answer without a NUL
// ends at zeros rather than at what an earlier answer left behind.
void ClearScratch(char* scratch) {
    memset(scratch, 0, kScratchSize);
}

// The text the plug-in left in the scratch area, up to its first NUL; the
// last byte is a terminator the plug-in cannot have removed.
CStringW TakeScratchText(char* scratch) {
    scratch[kScratchSize - 1] = 0;
    return Simple::WidenBytes(scratch);
}

// One call into the plug-in, as CallPluginCode runs it.
struct DispatchCall {
    AEffect* effect;
    int32_t opcode;
    void* ptr;
    VstIntPtr result;
};

void RunDispatch(void* context) {
    auto* call = static_cast<DispatchCall*>(context);
    call->result = call->effect->dispatcher(call->effect, call->opcode, 0, 0, call->ptr, 0.0f);
}

VstIntPtr Dispatch(AEffect* effect, int32_t opcode, void* ptr = nullptr) {
    DispatchCall call = {effect, opcode, ptr, 0};
    CallPluginCode(RunDispatch, &call);
    return call.result;
}

struct EntryCall {
    PluginEntryFn entry;
    AEffect* effect;
};

void RunEntry(void* context) {
    auto* call = static_cast<EntryCall*>(context);
    call->effect = call->entry(HostCallback);
}

AEffect* CallEntryPoint(PluginEntryFn entry) {
    EntryCall call = {entry, nullptr};
    CallPluginCode(RunEntry, &call);
    return call.effect;
}

// Only the low 32 bits of a dispatcher result count, as a signed number.
int32_t DispatchNumber(AEffect* effect, int32_t opcode, void* ptr = nullptr) {
    return static_cast<int32_t>(static_cast<uint32_t>(Dispatch(effect, opcode, ptr)));
}

bool CanDo(AEffect* effect, const char* capability) {
    return DispatchNumber(effect, effCanDo, const_cast<char*>(capability)) != -1;
}

PluginEntryFn FindEntryPoint(HMODULE module) {
    if (FARPROC entry = GetProcAddress(module, "VSTPluginMain")) {
        LogInfo(L"Found VSTPluginMain()\n");
        return reinterpret_cast<PluginEntryFn>(reinterpret_cast<void*>(entry));
    }
    if (FARPROC entry = GetProcAddress(module, "main")) {
        LogInfo(L"Found main()\n");
        return reinterpret_cast<PluginEntryFn>(reinterpret_cast<void*>(entry));
    }
    return nullptr;
}

bool IsSynthEditModule(HMODULE module) {
    return FindResourceW(module, MAKEINTRESOURCEW(165), L"SE1") != nullptr;
}

// Adjusts the plug-in's category answer: the synth flag wins, and an
// unknown category is guessed from the inputs.
int32_t EffectiveCategory(int32_t answer, const AEffect* effect) {
    if (effect->flags & effFlagsIsSynth)
        return kPlugCategSynth;
    if (answer == kPlugCategUnknown)
        return effect->numInputs == 0 ? kPlugCategSynth : kPlugCategEffect;
    return answer;
}

// Lists a shell's sub-plug-ins into record.shells, without duplicates.
// False when memory for an entry cannot be had: a partial list would claim
// the shell holds less than it does.
bool ListShellPlugins(AEffect* effect, char* scratch, CPluginInfo& record) {
    Simple::CMap<int, bool, Simple::SValue, Simple::SValue, int> seen;
    for (;;) {
        // A plug-in that answers an id without writing a name must not
        // inherit the previous one.
        ClearScratch(scratch);
        int32_t id = DispatchNumber(effect, effShellGetNextPlugin, scratch);
        if (id == 0)
            return true;
        CStringW name = TakeScratchText(scratch);
        // The widened name rather than "%S": msvcrt's conversion follows a
        // locale that the plug-in may have changed.
        LogInfo(L"Found shell: %.8X - %s\n", id, name);
        if (seen.Find(id)) {
            LogInfo(L"   - duplicate, ignoring\n");
            continue;
        }
        CShellInfo* shell = new (std::nothrow) CShellInfo;
        if (!shell)
            return false;
        shell->id = id;
        shell->name = name;
        if (name.IsNull() || !record.shells.Add(shell)) {
            delete shell;
            return false;
        }
        if (!seen.Set(id, true))
            return false;
    }
}

// Not through CallPluginCode: its filter would hand a fault to the crash
// filter before the fault guard around this call could swallow it.
void DispatchClose(void* effect) {
    auto* plugin = static_cast<AEffect*>(effect);
    plugin->dispatcher(plugin, effClose, 0, 0, nullptr, 0.0f);
}

}  // namespace

CStringW QueryPluginString(AEffect* effect, int32_t opcode) {
    char* scratch = StringScratch();
    if (!scratch)
        return CStringW();
    ClearScratch(scratch);
    Dispatch(effect, opcode, scratch);
    return TakeScratchText(scratch);
}

CStringW FormatVendorVersion(int32_t v) {
    if (v == 0) {
        CStringW empty;
        empty.Reserve(0);
        return empty;
    }
    if (v < 10)
        return Simple::FormatString(L"%i.0.0.0", v);
    int a, b, c, d;
    if (v <= 9999) {
        a = v / 1000 % 10;
        b = v / 100 % 10;
        c = v / 10 % 10;
        d = v % 10;
    } else if (v <= 65535) {
        a = v / 10000 % 10;
        b = v / 1000 % 10;
        c = v / 100 % 10;
        d = v / 10 % 10;
    } else if (v <= 0x64FFFF) {
        a = (v >> 16) & 0xFF;
        b = (v >> 8) & 0xFF;
        c = v & 0xFF;
        d = 0;
    } else {
        a = v / 10000000;
        b = v / 100000 % 100;
        c = v / 1000 % 100;
        d = v % 1000;
    }
    return Simple::FormatString(L"%i.%i.%i.%i", a, b, c, d);
}

bool ProbePlugin(HMODULE module, CPluginInfo& record) {
    // Sixteen digits on x86 too, as the x64 server writes it: the line is
    // the same on the wire whichever server writes it.
    LogInfo(L"Looking for entry point in module %016I64X\n",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(module)));
    if (GetProcAddress(module, "JBridgeBootstrap")) {
        record.error = L"Module is a jBridge bootstrap, ignoring";
        return false;
    }
    PluginEntryFn entry = FindEntryPoint(module);
    if (!entry) {
        record.error = L"Entry point not found, not a VST plugin";
        return false;
    }
    char* scratch = StringScratch();
    if (!scratch) {
        record.error = L"Not enough memory to probe the plugin";
        return false;
    }

    serverState.pluginWantsMidi = false;
    InstallCrashDumpFilter();
    LogInfo(L"Calling entry point...\n");
    AEffect* effect = CallEntryPoint(entry);
    InstallCrashDumpFilter();
    if (!effect) {
        record.error = L"Entry point returned NULL";
        return false;
    }
    if (effect->magic != kEffectMagic) {
        record.error = L"Bad magic";
        return false;
    }
    InstallCrashDumpFilter();

    record.synthEdit = IsSynthEditModule(module);
    record.name = QueryPluginString(effect, effGetEffectName);
    record.vendor = QueryPluginString(effect, effGetVendorString);
    record.product = QueryPluginString(effect, effGetProductString);
    // Null only when memory for the text could not be had: the report must
    // not pass an unknown name off as an empty one.
    bool stringsKept = !record.name.IsNull() && !record.vendor.IsNull() && !record.product.IsNull();
    record.id = effect->uniqueID;
    record.category = DispatchNumber(effect, effGetPlugCategory);
    record.numInputs = effect->numInputs;
    record.numOutputs = effect->numOutputs;
    // An answer of 0 ("don't know") counts as yes: only -1 is a refusal.
    record.wantsMidi = CanDo(effect, "receiveVstMidiEvent") || CanDo(effect, "receiveVstEvents") ||
                       serverState.pluginWantsMidi;
    record.sendsMidi = CanDo(effect, "sendVstMidiEvent") || CanDo(effect, "sendVstEvents");
    record.audio64 = (effect->flags & effFlagsCanDoubleReplacing) != 0;
    record.version = FormatVendorVersion(DispatchNumber(effect, effGetVendorVersion));
    record.category = EffectiveCategory(record.category, effect);

    bool listed = true;
    if (record.category == kPlugCategShell)
        listed = ListShellPlugins(effect, scratch, record);

    LogInfo(L"Dispatching effClose...\n");
    // A plug-in that faults while closing has already answered everything;
    // its fault is swallowed so that the report still goes out.
    CallWithFaultGuard(DispatchClose, effect);
    InstallCrashDumpFilter();

    if (!listed) {
        record.error = L"Not enough memory to list the shell's plugins";
        return false;
    }
    if (!stringsKept) {
        record.error = L"Not enough memory for the plugin's strings";
        return false;
    }
    return true;
}
