#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/engine/failures/StackWalk.h"
#include "host/engine/records/Records.h"

namespace host {

// What a minidump holds that tells where a crash or a hang happened, read
// from the documented layout of the file.
struct DumpModule {
    std::string path;
    uint64_t base = 0;
    uint64_t size = 0;
};

struct DumpThread {
    uint32_t id = 0;
    uint64_t instruction = 0;  // rip (eip in an x86 dump) from its context
    uint64_t stackPointer = 0;
    uint64_t stackStart = 0;   // the stack memory the dump holds, from stackStart on
    std::string stack;
    Registers registers;       // all of its context's general registers
};

struct DumpContents {
    bool x86 = false;  // of an x86 process: 32-bit contexts and stack slots
    bool hasException = false;
    uint32_t exceptionThread = 0;
    uint32_t exceptionCode = 0;
    uint64_t exceptionAddress = 0;
    std::vector<uint64_t> exceptionInformation;
    bool hasExceptionContext = false;
    Registers exceptionRegisters;  // the faulting thread's registers at the fault
    std::vector<DumpModule> modules;
    std::vector<DumpModule> unloadedModules;
    std::vector<DumpThread> threads;
};

// Reads a minidump file. False with *error when it is not one, or is cut
// short where it matters.
bool ReadDump(const std::wstring& path, DumpContents* dump, std::string* error);
bool ParseDump(const std::string& bytes, DumpContents* dump, std::string* error);

// What a crash dump's exception says: the code and its usual name, the
// address and the module holding it with the offset, the unloaded module
// that held it when no loaded one does, and whether the faulting thread is
// the server's own (serverThread, the server's main thread; 0: unknown,
// taken as the dump's first thread). False when the dump has no exception.
bool DescribeCrash(const DumpContents& dump, uint32_t serverThread, Fault* fault);

// Reads the crash dump at path (UTF-8) and describes its fault; *modulePath
// gets the full path of the loaded module the fault lies in, or stays
// empty. False when the dump cannot be read or holds no exception.
bool ReadCrashFault(const std::string& path, uint32_t serverThread, Fault* fault,
                    std::string* modulePath = nullptr);

// The faulting thread's frames, nearest first: the fault's address, then
// the return addresses its stack walk found (never a scan's guesses).
// Empty when the dump holds no exception.
std::vector<uint64_t> FaultFrames(const DumpContents& dump);

// Where the server's main thread was in a dump taken of a hung server: the
// module its instruction pointer lies in, or, when that is a system
// module, "waiting in the system" and the nearest caller on its stack that
// is neither the system nor the server. False when the dump lacks the thread.
bool DescribeHang(const DumpContents& dump, uint32_t serverThread, Fault* fault);

// The usual name of an exception code ("access violation"), or empty.
std::string ExceptionName(uint32_t code);

}  // namespace host
