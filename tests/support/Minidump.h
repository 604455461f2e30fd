#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// What a crash dump says, read back through DbgHelp's MiniDumpReadDumpStream.
struct Minidump {
    struct Thread {
        DWORD id;
        uint64_t stackStart;  // the stack memory the dump holds
        uint64_t stackSize;
    };
    struct Module {
        uint64_t base;
        uint64_t size;
        std::wstring name;  // the file name, without its folder
    };
    uint64_t fileSize = 0;
    DWORD exceptionThreadId = 0;
    DWORD exceptionCode = 0;
    uint64_t exceptionAddress = 0;
    uint64_t exceptionStackPointer = 0;  // rsp (esp) of the exception's context
    std::vector<Thread> threads;
    std::vector<Module> modules;

    const Thread* FindThread(DWORD id) const;
    // The module whose image holds address; null when none does.
    const Module* ModuleAt(uint64_t address) const;
};

// Reads the dump at path. False, with the reason in *error, when it is not
// a whole minidump: no signature, a stream directory or stream that runs
// past the end of the file, or no exception, thread list or module list.
bool ReadMinidump(const std::wstring& path, Minidump* dump, std::string* error);

}  // namespace testing_support
