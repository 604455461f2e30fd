#include "host/engine/servers/MachineType.h"

#include <windows.h>

#include <cstdio>

namespace host {

namespace {

// IMAGE_FILE_MACHINE_* values this reader names; every other one is shown
// in hexadecimal.
struct MachineName {
    WORD machine;
    const char* name;
};
constexpr MachineName kMachineNames[] = {
    {0x8664, "x64"}, {0x014C, "x86"}, {0xAA64, "arm64"}, {0x01C4, "arm"},
    {0xA641, "arm64ec"}, {0x0200, "ia64"},
};

std::string NameOf(WORD machine) {
    for (const MachineName& entry : kMachineNames) {
        if (entry.machine == machine)
            return entry.name;
    }
    char text[16];
    snprintf(text, sizeof text, "0x%04X", machine);
    return text;
}

bool ReadAt(HANDLE file, uint32_t offset, void* buffer, DWORD size) {
    OVERLAPPED at = {};
    at.Offset = offset;
    DWORD read = 0;
    return ReadFile(file, buffer, size, &read, &at) && read == size;
}

}  // namespace

MachineType ReadMachineType(const std::wstring& path) {
    MachineType result;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return result;
    IMAGE_DOS_HEADER dos = {};
    // The signature, the file header and the optional header's magic.
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER header;
        WORD magic;
    } nt = {};
    bool read = ReadAt(file, 0, &dos, sizeof dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
                dos.e_lfanew > 0 && ReadAt(file, static_cast<uint32_t>(dos.e_lfanew), &nt, sizeof nt) &&
                nt.signature == IMAGE_NT_SIGNATURE;
    CloseHandle(file);
    if (!read)
        return result;
    WORD machine = nt.header.Machine;
    result.platform = NameOf(machine);
    const bool x64 = machine == IMAGE_FILE_MACHINE_AMD64;
    const bool x86 = machine == IMAGE_FILE_MACHINE_I386;
    if (!x64 && !x86) {
        result.machine = Machine::Other;
        result.problem = "built for " + result.platform + ", which neither the x64 nor the x86 server can load";
        return result;
    }
    const WORD expected = x64 ? IMAGE_NT_OPTIONAL_HDR64_MAGIC : IMAGE_NT_OPTIONAL_HDR32_MAGIC;
    if (nt.magic != expected) {
        result.machine = Machine::Other;
        result.headersDisagree = true;
        result.problem = "its header says " + result.platform + " but its optional header is " +
                         (nt.magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC   ? "PE32+ (64-bit)"
                          : nt.magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC ? "PE32 (32-bit)"
                                                                      : "of no known kind") +
                         ": no loader takes it";
        return result;
    }
    result.machine = x64 ? Machine::X64 : Machine::X86;
    return result;
}

}  // namespace host
