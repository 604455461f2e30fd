#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/engine/failures/PeFile.h"

namespace host {

// An x64 thread's registers, by the numbers the unwind data uses: rax, rcx,
// rdx, rbx, rsp, rbp, rsi, rdi, r8 ... r15; and rip. An x86 thread's are the
// first eight by the same numbers (eax ... edi, esp and ebp at 4 and 5), and
// eip in rip.
struct Registers {
    uint64_t gpr[16] = {};
    uint64_t rip = 0;
    uint64_t& rsp() { return gpr[4]; }
};

// A module as a dump lists it: where it was loaded, and its file.
struct WalkModule {
    std::string path;
    uint64_t base = 0;
    uint64_t size = 0;
};

// One frame of a walked stack.
struct StackFrame {
    uint64_t address = 0;     // the instruction: where it was, or where its call returns to
    const WalkModule* module = nullptr;
    uint64_t offset = 0;      // address - module base
    std::string exportName;   // the export whose function holds it
    uint64_t exportOffset = 0;
    // "Foo.dll+0x1A2B", "Foo.dll+0x1A2B (Foo.dll!VSTPluginMain+0x52)", "0x1234"
    std::string Text() const;
};

// The module files a walk reads its unwind data from, each read once.
class ModuleFiles {
public:
    struct File {
        std::string bytes;
        PeFile pe;
        bool readable = false;
    };
    // Null when the file cannot be read or is no image.
    const File* Get(const std::string& path);

private:
    std::map<std::string, std::unique_ptr<File>> files_;
};

struct StackWalk {
    std::vector<StackFrame> frames;  // nearest first
    // Why the walk stopped before the stack's end, when it did: a module
    // file gone, a frame with no unwind data, memory outside what the dump
    // holds, an x86 frame chain that breaks.
    std::string stopped;
};

// Walks a thread's stack as a debugger does: each frame's caller found from
// the unwind data (.pdata/.xdata) of the module holding it, read from the
// module's file on disk; the stack memory from the dump (stackStart on).
// At most maxFrames frames.
StackWalk WalkStack(const Registers& start, const std::vector<WalkModule>& modules, uint64_t stackStart,
                    const std::string& stack, ModuleFiles* files, size_t maxFrames = 64);

// Walks an x86 thread's stack by its chain of frame pointers ([ebp] the
// caller's ebp, [ebp+4] the return address), since x86 images carry no
// unwind data. Every step is checked: each frame lies on the stack the dump
// holds, above the one before, and each return address lies in a module's
// code right after a call instruction (read from the module's file);
// otherwise the walk stops and says why. Functions built without a frame
// pointer are not on the chain and are missing from the walk, except the
// first: when the thread is stopped in a function that has not set up a
// frame (a system call stub, a leaf function) and the top of the stack is
// provably its return address, its caller is the second frame. A frame is
// named by an export only when the code from the export to the frame runs
// straight (a system call stub): nothing in an x86 image tells where a
// function ends, so the nearest export below an address may be any
// function's.
StackWalk WalkStackX86(const Registers& start, const std::vector<WalkModule>& modules, uint64_t stackStart,
                       const std::string& stack, ModuleFiles* files, size_t maxFrames = 64);

}  // namespace host
