#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

// What a Windows program file (PE) says about itself, read from its bytes
// and never by loading it. The file is untrusted input: every offset, size
// and count is checked against the file and against fixed limits, so that a
// file whose headers lie is described as such rather than read outside its
// bounds, looped over or taken at its word about its size.
struct PeSection {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
    bool Executable() const { return (characteristics & 0x20000020u) != 0; }  // code, or execute
};

// One function a file imports from one DLL: by name, or by ordinal when
// name is empty.
struct PeImportedFunction {
    std::string name;
    uint16_t ordinal = 0;
};

struct PeImport {
    std::string dll;
    std::vector<PeImportedFunction> functions;
    bool delayed = false;  // loaded on first call, not when the file loads
};

struct PeExport {
    std::string name;       // empty for one exported by ordinal only
    uint16_t ordinal = 0;   // the biased ordinal callers name
    uint32_t rva = 0;       // where it is; 0 for a forwarder
    std::string forwarder;  // "OTHER.Function" when it forwards to another DLL
};

// One entry of the x64 function table (.pdata): a function's extent and
// where its unwind data is, all relative to the image's base.
struct PeFunctionEntry {
    uint32_t begin = 0;
    uint32_t end = 0;
    uint32_t unwind = 0;
};

enum class PeKind {
    Unreadable,  // the file could not be opened or read
    Empty,       // zero bytes
    NotPe,       // no "MZ" header, or no "PE" signature where it points
    Truncated,   // shorter than its headers say it is
    Damaged,     // headers that contradict themselves (see problem)
    Image,       // a PE image: dll tells a library from a program
};

struct PeFile {
    PeKind kind = PeKind::Unreadable;
    std::string problem;      // what is wrong, for kinds other than Image, as people read it
    uint64_t fileSize = 0;
    uint64_t expectedSize = 0;  // what the headers name: the end of the furthest section's bytes
    uint16_t machine = 0;       // IMAGE_FILE_MACHINE_*
    // The optional header's magic (0x10B PE32, 0x20B PE32+, or anything in a
    // damaged file), read whenever the file holds it, however the rest reads:
    // with machine, it is what a loader first checks. Absent when the file
    // ends before it or is no PE at all.
    std::optional<uint16_t> magic;
    bool pe32Plus = false;      // a 64-bit optional header
    bool dll = false;
    uint64_t imageBase = 0;
    uint32_t imageSize = 0;
    std::vector<PeSection> sections;
    std::vector<PeImport> imports;  // in the order the file lists them
    std::vector<PeExport> exports;
    std::string exportName;         // the name the export directory gives the DLL
    std::vector<PeFunctionEntry> functions;  // sorted by begin
    // Parts that could not be read whole (an import table running off the
    // file, a name without its terminator, too many entries), as people read
    // them. What was read before the problem is kept.
    std::vector<std::string> warnings;

    bool HasExport(const std::string& name) const;
    // The export whose address is the nearest at or below rva, or null.
    const PeExport* ExportAtOrBelow(uint32_t rva) const;
    // The function table entry holding rva, or null.
    const PeFunctionEntry* FunctionAt(uint32_t rva) const;
    // The file offset of count bytes at rva, when the file holds them all.
    bool FileOffset(uint32_t rva, uint32_t count, uint64_t* offset) const;
    const PeSection* SectionAt(uint32_t rva) const;
};

// What a file holds, for PeFile's parts. Flags keep readers that need only
// the headers (its machine, whether it is a DLL) from paying for the rest.
enum PeParts : unsigned {
    kPeHeaders = 0,
    kPeImports = 1,
    kPeExports = 2,
    kPeFunctions = 4,
    kPeAll = 7,
};

// Reads a PE from bytes in memory: the file's first bytes, of a file of
// fileSize bytes (0: bytes is all of it).
PeFile ParsePe(const std::string& bytes, unsigned parts = kPeAll, uint64_t fileSize = 0);
PeFile ParsePe(const char* data, size_t size, unsigned parts = kPeAll, uint64_t fileSize = 0);
// Reads the file at path; Unreadable with problem when it
// cannot be read. Files above 1 GiB are read only as far as their headers.
PeFile ReadPe(const std::wstring& path, unsigned parts = kPeAll);

// The first limit bytes of a file (all of it when shorter) and its size;
// false with *problem, as people read it, when it cannot be read.
bool ReadFileStart(const std::wstring& path, uint64_t limit, std::string* bytes, uint64_t* fileSize,
                   std::string* problem);

// The processor a machine type is for, as people name it: "x64", "x86
// (32-bit)", "ARM64", ...; "machine type 0x1234" for others.
std::string MachineName(uint16_t machine);

// The bytes at rva in an image read from a file, for the unwind data of a
// stack walk; empty when the file does not hold them all.
std::string ImageBytes(const std::string& bytes, const PeFile& pe, uint32_t rva, uint32_t count);

}  // namespace host
