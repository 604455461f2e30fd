#pragma once

#include <string>

namespace host {

struct PeFile;

// The processor a DLL is built for, from its PE header: what decides which
// server, x64 or x86, can load it.
enum class Machine {
    X64,
    X86,
    Other,     // a PE for another processor (ARM64 and the like), or one whose headers contradict each other
    NotPE,     // no PE header at all (or none that can be read): the server's load says what it is
};

struct MachineType {
    Machine machine = Machine::NotPE;
    std::string platform;  // "x64", "x86", or for Other the machine as people name it ("arm64", "0x1234")
    std::string problem;   // for Other: why no server can load it
    bool headersDisagree = false;  // for Other: the machine and the optional header say different things
};

// From a PE's headers: the machine field of the file header and the
// optional header's magic, which must agree (PE32 for x86, PE32+ for x64) -
// a loader of either kind refuses a file whose two say different things.
MachineType MachineTypeOf(const PeFile& pe);

// The same from the file at path, reading only its headers.
MachineType ReadMachineType(const std::wstring& path);

}  // namespace host
