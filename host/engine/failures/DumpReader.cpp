#include "host/engine/failures/DumpReader.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/engine/failures/Minidump.h"
#include "host/engine/plan/Discovery.h"
#include "host/engine/util/Text.h"

namespace host {

namespace {

using namespace minidump;

// A walked stack kept in a fault is at most this long.
constexpr size_t kFramesKept = 32;
// The stack and instruction pointers in each architecture's CONTEXT record,
// which is what a thread's context in the dump is.
struct ContextLayout {
    size_t stackPointer;
    size_t instruction;
    size_t pointerSize;
};
constexpr ContextLayout kContextX64 = {kContextRsp, kContextRip, 8};
constexpr ContextLayout kContextX86 = {kContextX86Esp, kContextX86Eip, 4};
// A stack kept from a dump is at most this long: the caller is near the top.
constexpr size_t kStackKept = 256 * 1024;

Registers ReadRegisters(const Bytes& in, uint64_t context) {
    Registers registers;
    for (int i = 0; i < 16; i++)
        registers.gpr[i] = in.U64(context + kContextRax + i * 8ull);
    registers.rip = in.U64(context + kContextRip);
    return registers;
}

Registers ReadRegistersX86(const Bytes& in, uint64_t context) {
    // The context's order of edi ... eip, by the register numbers.
    static const int kNumbers[] = {7, 6, 3, 2, 1, 0, 5};
    Registers registers;
    for (int i = 0; i < 7; i++)
        registers.gpr[kNumbers[i]] = in.U32(context + kContextX86Edi + i * 4ull);
    registers.rip = in.U32(context + kContextX86Edi + 7 * 4ull);
    registers.gpr[4] = in.U32(context + kContextX86Esp);
    return registers;
}

const DumpModule* ModuleAt(const std::vector<DumpModule>& modules, uint64_t address) {
    for (const DumpModule& module : modules)
        if (address >= module.base && address - module.base < module.size)
            return &module;
    return nullptr;
}

// Modules of the system itself, where a thread that waits or was given a
// bad pointer by a plug-in ends up.
bool IsSystemModule(const std::string& path) {
    std::string lower;
    for (char c : path)
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return lower.find("\\windows\\system32\\") != std::string::npos ||
           lower.find("\\windows\\syswow64\\") != std::string::npos ||
           lower.find("\\windows\\winsxs\\") != std::string::npos;
}

bool IsServerModule(const DumpContents& dump, const DumpModule& module) {
    // The executable is the first module a dump lists.
    return !dump.modules.empty() && &module == &dump.modules.front();
}

std::string Where(const DumpModule& module, uint64_t address) {
    return FileNameOf(module.path) + "+" + HexText(address - module.base);
}

uint32_t ServerThreadOf(const DumpContents& dump, uint32_t serverThread) {
    if (serverThread)
        return serverThread;
    return dump.threads.empty() ? 0 : dump.threads.front().id;
}

void PlaceAddress(const DumpContents& dump, uint64_t address, Fault* fault) {
    fault->address = address;
    if (const DumpModule* module = ModuleAt(dump.modules, address)) {
        fault->module = FileNameOf(module->path);
        fault->offset = address - module->base;
    } else if (const DumpModule* gone = ModuleAt(dump.unloadedModules, address)) {
        fault->unloadedModule = FileNameOf(gone->path);
    }
}

const DumpThread* ThreadOf(const DumpContents& dump, uint32_t id) {
    for (const DumpThread& thread : dump.threads)
        if (thread.id == id)
            return &thread;
    return nullptr;
}

// A thread's stack walked with the modules' unwind data, and the frame
// nearest its top that lies in a plug-in (neither the system nor the server).
struct Walked {
    std::vector<std::string> stack;
    std::vector<uint64_t> addresses;  // each frame's, nearest first
    std::string pluginFrame;
    std::string stopped;  // why the walk ended before the stack did, if it did
    // A walk to the stack's end names every frame on it, so that a plug-in
    // it did not meet is not on the stack. Not so on x86, whose frame chain
    // leaves out the functions that keep no frame pointer.
    bool namesEveryFrame = false;
};

// The file a module of an x86 process was loaded from, for this x64
// program to read. Wine lists the system's 32-bit DLLs in the system folder,
// which for a 32-bit process is redirected to the WOW64 one; this program
// would read the 64-bit DLLs of the same names there.
std::string FileOfX86Module(const std::string& path) {
    wchar_t system[MAX_PATH], wow64[MAX_PATH];
    UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
    UINT wow64Length = GetSystemWow64DirectoryW(wow64, MAX_PATH);
    if (!systemLength || systemLength >= MAX_PATH || !wow64Length || wow64Length >= MAX_PATH)
        return path;
    std::wstring wide = FromUtf8(path);
    if (wide.size() <= systemLength || wide[systemLength] != L'\\' ||
        CompareStringOrdinal(wide.c_str(), static_cast<int>(systemLength), system, static_cast<int>(systemLength),
                             TRUE) != CSTR_EQUAL)
        return path;
    return ToUtf8(std::wstring(wow64, wow64Length) + wide.substr(systemLength));
}

Walked WalkThread(const DumpContents& dump, const Registers& start, const DumpThread& thread) {
    std::vector<WalkModule> modules;
    for (const DumpModule& module : dump.modules)
        modules.push_back({dump.x86 ? FileOfX86Module(module.path) : module.path, module.base, module.size});
    ModuleFiles files;
    StackWalk walk = dump.x86 ? WalkStackX86(start, modules, thread.stackStart, thread.stack, &files)
                              : WalkStack(start, modules, thread.stackStart, thread.stack, &files);
    Walked out;
    out.stopped = walk.stopped;
    out.namesEveryFrame = walk.stopped.empty() && !dump.x86;
    for (const StackFrame& frame : walk.frames) {
        out.addresses.push_back(frame.address);
        if (out.stack.size() < kFramesKept)
            out.stack.push_back(frame.Text());
        if (out.pluginFrame.empty() && frame.module && !IsSystemModule(frame.module->path) &&
            !(modules.size() && frame.module == &modules.front()))
            out.pluginFrame = frame.Text();
    }
    return out;
}

// The old way, where unwinding fails: the nearest value on the stack that
// points into a plug-in. A guess from the stack's contents, but one that a
// value pointing into a module's code rarely misleads.
std::string ScanForCaller(const DumpContents& dump, const DumpThread& thread, uint64_t stackPointer) {
    uint64_t from = stackPointer > thread.stackStart ? stackPointer - thread.stackStart : 0;
    const uint64_t slot = dump.x86 ? 4 : 8;
    for (uint64_t at = from & ~(slot - 1); at + slot <= thread.stack.size(); at += slot) {
        uint64_t value = 0;
        memcpy(&value, thread.stack.data() + at, slot);
        const DumpModule* caller = ModuleAt(dump.modules, value);
        if (caller && !IsSystemModule(caller->path) && !IsServerModule(dump, *caller))
            return Where(*caller, value);
    }
    return std::string();
}

// Where a thread stopped in the system or the server: the plug-in frame
// that called into it, from the walk or, failing that, from a scan that
// says it is one.
std::string PluginCaller(const DumpContents& dump, const DumpThread& thread, const Walked& walked,
                         uint64_t stackPointer) {
    if (!walked.pluginFrame.empty())
        return walked.pluginFrame;
    // A walk that reached the stack's end without a plug-in frame says the
    // plug-in is not on it (it returned a bad pointer and left); whatever a
    // scan found would be a stale value.
    if (walked.namesEveryFrame && !walked.stack.empty())
        return std::string();
    std::string scanned = ScanForCaller(dump, thread, stackPointer);
    if (scanned.empty())
        return scanned;
    std::string why = !walked.stopped.empty() ? walked.stopped
                      : walked.stack.empty()  ? "the stack could not be walked"
                                              : "the frame chain leaves out functions without a frame pointer";
    return scanned + " (by a scan of the stack: " + why + ")";
}

}  // namespace

std::string ExceptionName(uint32_t code) {
    switch (code) {
    case 0xC0000005: return "access violation";
    case 0xC00000FD: return "stack overflow";
    case 0xC000001D: return "illegal instruction";
    case 0xC0000096: return "privileged instruction";
    case 0xC0000094: return "integer divide by zero";
    case 0xC0000095: return "integer overflow";
    case 0xC000008E: return "floating-point divide by zero";
    case 0xC0000090: return "floating-point invalid operation";
    case 0xC0000091: return "floating-point overflow";
    case 0xC0000093: return "floating-point underflow";
    case 0xC000008C: return "array bounds exceeded";
    case 0x80000001: return "guard page violation";
    case 0x80000002: return "misaligned data";
    case 0x80000003: return "breakpoint";
    case 0x80000004: return "single step";
    case 0xC0000006: return "in-page error";
    case 0xC0000008: return "invalid handle";
    case 0xC0000025: return "continued a noncontinuable exception";
    case 0xC0000026: return "invalid exception disposition";
    case 0xC0000374: return "heap corruption";
    case 0xC0000409: return "stack buffer overrun (fast fail)";
    case 0xC0000417: return "invalid parameter (C runtime)";
    case 0xC0000420: return "assertion failure";
    case 0xC0000602: return "fail fast";
    case 0xE06D7363: return "C++ exception (Microsoft runtime)";
    case 0x20474343: return "C++ exception (GCC runtime)";
    case 0xE0414254: return "abort() called";  // the scan server's own code for it
    default: return std::string();
    }
}

bool ParseDump(const std::string& bytes, DumpContents* dump, std::string* error) {
    Bytes in(bytes);
    if (!in.Has(0, 32) || in.U32(0) != kSignature) {
        *error = "not a minidump";
        return false;
    }
    uint32_t streams = in.U32(8);
    uint64_t directory = in.U32(12);
    if (!in.Has(directory, static_cast<uint64_t>(streams) * 12)) {
        *error = "the minidump is cut short";
        return false;
    }
    DumpContents read;
    // The processor first: it decides how the threads' contexts are read.
    for (uint32_t i = 0; i < streams; i++) {
        uint64_t entry = directory + i * 12ull;
        uint64_t at = in.U32(entry + 8);
        if (in.U32(entry) == kSystemInfoStream && in.Has(at, 2))
            read.x86 = (in.U32(at) & 0xFFFF) == kArchitectureX86;
    }
    const ContextLayout& layout = read.x86 ? kContextX86 : kContextX64;
    for (uint32_t i = 0; i < streams; i++) {
        uint64_t entry = directory + i * 12ull;
        uint32_t type = in.U32(entry);
        uint64_t size = in.U32(entry + 4);
        uint64_t at = in.U32(entry + 8);
        if (!in.Has(at, size))
            continue;
        if (type == kModuleListStream || type == kUnloadedModuleListStream) {
            bool unloaded = type == kUnloadedModuleListStream;
            uint64_t count = unloaded ? in.U32(at + 8) : in.U32(at);
            uint64_t first = unloaded ? at + in.U32(at) : at + 4;
            uint64_t stride = unloaded ? in.U32(at + 4) : kModuleSize;
            if (stride < 24 || !in.Has(first, count * stride))
                continue;
            for (uint64_t m = 0; m < count; m++) {
                uint64_t record = first + m * stride;
                DumpModule module;
                module.base = in.U64(record);
                module.size = in.U32(record + 8);
                module.path = in.Text(in.U32(record + 20));
                (unloaded ? read.unloadedModules : read.modules).push_back(module);
            }
        } else if (type == kThreadListStream) {
            uint64_t count = in.U32(at);
            if (!in.Has(at + 4, count * kThreadSize))
                continue;
            for (uint64_t t = 0; t < count; t++) {
                uint64_t record = at + 4 + t * kThreadSize;
                DumpThread thread;
                thread.id = in.U32(record);
                thread.stackStart = in.U64(record + 24);
                uint64_t stackSize = in.U32(record + 32);
                uint64_t stackAt = in.U32(record + 36);
                uint64_t contextSize = in.U32(record + 40);
                uint64_t contextAt = in.U32(record + 44);
                if (contextSize >= layout.instruction + layout.pointerSize && in.Has(contextAt, contextSize)) {
                    thread.instruction = layout.pointerSize == 8 ? in.U64(contextAt + layout.instruction)
                                                                 : in.U32(contextAt + layout.instruction);
                    thread.stackPointer = layout.pointerSize == 8 ? in.U64(contextAt + layout.stackPointer)
                                                                  : in.U32(contextAt + layout.stackPointer);
                    thread.registers = read.x86 ? ReadRegistersX86(in, contextAt) : ReadRegisters(in, contextAt);
                }
                thread.stack = in.Slice(stackAt, stackSize < kStackKept ? stackSize : kStackKept);
                read.threads.push_back(thread);
            }
        } else if (type == kExceptionStream && size >= 168) {
            read.hasException = true;
            read.exceptionThread = in.U32(at);
            read.exceptionCode = in.U32(at + 8);
            read.exceptionAddress = in.U64(at + 24);
            uint32_t parameters = in.U32(at + 32);
            for (uint32_t p = 0; p < parameters && p < 15; p++)
                read.exceptionInformation.push_back(in.U64(at + 40 + p * 8ull));
            // After the exception record: where the thread's context at the fault is.
            uint64_t contextSize = in.U32(at + 160);
            uint64_t contextAt = in.U32(at + 164);
            uint64_t needed = std::max(layout.instruction, layout.stackPointer) + layout.pointerSize;
            if (contextSize >= needed && in.Has(contextAt, contextSize)) {
                read.hasExceptionContext = true;
                read.exceptionRegisters = read.x86 ? ReadRegistersX86(in, contextAt) : ReadRegisters(in, contextAt);
            }
        }
    }
    *dump = std::move(read);
    return true;
}

bool ReadDump(const std::wstring& path, DumpContents* dump, std::string* error) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot open the dump (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    // Minidumps without full memory are small; a huge file is not one of ours.
    if (size.QuadPart > 512ll * 1024 * 1024) {
        CloseHandle(file);
        *error = "the dump is too large to read";
        return false;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    bool read = bytes.empty() ||
                (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) &&
                 got == bytes.size());
    CloseHandle(file);
    if (!read) {
        *error = "cannot read the dump";
        return false;
    }
    return ParseDump(bytes, dump, error);
}

bool DescribeCrash(const DumpContents& dump, uint32_t serverThread, Fault* fault) {
    if (!dump.hasException)
        return false;
    Fault out;
    out.kind = "crash";
    out.code = dump.exceptionCode;
    out.name = ExceptionName(dump.exceptionCode);
    if (out.name.empty())
        out.name = "exception " + HexText(dump.exceptionCode);
    if (dump.exceptionCode == 0xC0000005 && dump.exceptionInformation.size() >= 2) {
        uint64_t kind = dump.exceptionInformation[0];
        const char* verb = kind == 0 ? "reading" : kind == 1 ? "writing" : kind == 8 ? "executing" : "at";
        out.access = std::string(verb) + " " + HexText(dump.exceptionInformation[1]);
    }
    PlaceAddress(dump, dump.exceptionAddress, &out);
    out.serverThread = dump.exceptionThread == ServerThreadOf(dump, serverThread);

    // The faulting thread's stack, walked from its registers at the fault.
    const DumpThread* thread = ThreadOf(dump, dump.exceptionThread);
    Walked walked;
    if (thread && dump.hasExceptionContext)
        walked = WalkThread(dump, dump.exceptionRegisters, *thread);
    out.stack = walked.stack;
    const DumpModule* holder = ModuleAt(dump.modules, out.address);
    bool inPlugin = holder && !IsSystemModule(holder->path) && !IsServerModule(dump, *holder);
    std::string caller;
    if (!inPlugin && thread)
        caller = PluginCaller(dump, *thread, walked,
                              dump.hasExceptionContext ? dump.exceptionRegisters.gpr[4] : thread->stackPointer);
    bool thrown = dump.exceptionCode == 0xE06D7363 || dump.exceptionCode == 0x20474343;

    std::string text = out.name;
    if (!out.access.empty())
        text += " " + out.access;
    if (thrown && !caller.empty())
        text += " thrown from " + caller + ", raised in " + out.module + "+" + HexText(out.offset);
    else if (inPlugin && !walked.stack.empty() && walked.stack.front().find('!') != std::string::npos)
        text += " in " + walked.stack.front();
    else if (!out.module.empty())
        text += " in " + out.module + "+" + HexText(out.offset);
    else if (!out.unloadedModule.empty())
        text += " at " + HexText(out.address) + ", in no loaded module: " + out.unloadedModule +
                " was there before it was unloaded";
    else
        text += " at " + HexText(out.address) + ", in no module";
    if (!thrown && !caller.empty())
        text += ", called from " + caller;
    text += out.serverThread ? ", on the server's own thread" : ", on another thread";
    out.text = text;
    *fault = std::move(out);
    return true;
}

bool ReadCrashFault(const std::string& path, uint32_t serverThread, Fault* fault,
                    std::string* modulePath) {
    DumpContents dump;
    std::string error;
    if (path.empty() || !ReadDump(FromUtf8(path), &dump, &error) ||
        !DescribeCrash(dump, serverThread, fault))
        return false;
    const DumpModule* module = ModuleAt(dump.modules, fault->address);
    if (modulePath && module)
        *modulePath = module->path;
    return true;
}

std::vector<uint64_t> FaultFrames(const DumpContents& dump) {
    const DumpThread* thread = ThreadOf(dump, dump.exceptionThread);
    if (!dump.hasException || !dump.hasExceptionContext || !thread)
        return dump.hasException ? std::vector<uint64_t>{dump.exceptionAddress} : std::vector<uint64_t>();
    std::vector<uint64_t> frames = WalkThread(dump, dump.exceptionRegisters, *thread).addresses;
    if (frames.empty() || frames.front() != dump.exceptionAddress)
        frames.insert(frames.begin(), dump.exceptionAddress);
    return frames;
}

bool DescribeHang(const DumpContents& dump, uint32_t serverThread, Fault* fault) {
    uint32_t wanted = ServerThreadOf(dump, serverThread);
    const DumpThread* thread = nullptr;
    for (const DumpThread& candidate : dump.threads)
        if (candidate.id == wanted)
            thread = &candidate;
    if (!thread || !thread->instruction)
        return false;
    Fault out;
    out.kind = "hang";
    out.serverThread = true;
    PlaceAddress(dump, thread->instruction, &out);
    const DumpModule* module = ModuleAt(dump.modules, thread->instruction);
    Walked walked = WalkThread(dump, thread->registers, *thread);
    out.stack = walked.stack;
    std::string here = !module ? std::string()
                       : walked.stack.empty() ? Where(*module, thread->instruction)
                                              : walked.stack.front();
    if (module && !IsSystemModule(module->path)) {
        out.text = IsServerModule(dump, *module) ? "hung in the scan server itself (" + here + ")"
                                                 : "hung in " + here;
        *fault = std::move(out);
        return true;
    }
    out.text = module ? "waiting in the system (" + here + ")"
                      : "hung at " + HexText(thread->instruction) + ", in no module";
    std::string caller = PluginCaller(dump, *thread, walked, thread->stackPointer);
    if (!caller.empty())
        out.text += ", called from " + caller;
    *fault = std::move(out);
    return true;
}

}  // namespace host
