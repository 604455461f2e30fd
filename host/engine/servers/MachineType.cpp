#include "host/engine/servers/MachineType.h"

#include <cstdio>

#include "host/engine/failures/PeFile.h"

namespace host {

namespace {

constexpr uint16_t kX64 = 0x8664;
constexpr uint16_t kX86 = 0x014C;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;

// IMAGE_FILE_MACHINE_* values named as the results file's "platform" names
// them; every other one is shown in hexadecimal.
struct PlatformName {
    uint16_t machine;
    const char* name;
};
constexpr PlatformName kPlatformNames[] = {
    {kX64, "x64"}, {kX86, "x86"}, {0xAA64, "arm64"}, {0x01C4, "arm"},
    {0xA641, "arm64ec"}, {0x0200, "ia64"},
};

std::string NameOf(uint16_t machine) {
    for (const PlatformName& entry : kPlatformNames) {
        if (entry.machine == machine)
            return entry.name;
    }
    char text[16];
    snprintf(text, sizeof text, "0x%04X", machine);
    return text;
}

}  // namespace

MachineType MachineTypeOf(const PeFile& pe) {
    MachineType result;
    // A file cut short or damaged after its magic still names its machine,
    // and goes to that machine's server, whose load says what is wrong.
    if (pe.kind == PeKind::Unreadable || pe.kind == PeKind::Empty || pe.kind == PeKind::NotPe || !pe.magic)
        return result;
    result.platform = NameOf(pe.machine);
    const bool x64 = pe.machine == kX64;
    const bool x86 = pe.machine == kX86;
    if (!x64 && !x86) {
        result.machine = Machine::Other;
        result.problem = "built for " + result.platform + ", which neither the x64 nor the x86 server can load";
        return result;
    }
    const uint16_t magic = *pe.magic;
    if (magic != (x64 ? kPe32PlusMagic : kPe32Magic)) {
        result.machine = Machine::Other;
        result.headersDisagree = true;
        result.problem = "its header says " + result.platform + " but its optional header is " +
                         (magic == kPe32PlusMagic ? "PE32+ (64-bit)"
                          : magic == kPe32Magic   ? "PE32 (32-bit)"
                                                  : "of no known kind") +
                         ": no loader takes it";
        return result;
    }
    result.machine = x64 ? Machine::X64 : Machine::X86;
    return result;
}

MachineType ReadMachineType(const std::wstring& path) {
    return MachineTypeOf(ReadPe(path, kPeHeaders));
}

}  // namespace host
