#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "host/engine/failures/PeFile.h"
#include "host/engine/servers/MachineType.h"
#include "tests/support/PeImage.h"

using host::ParsePe;
using host::PeFile;
using host::PeKind;
using testing_support::BuildPe;
using testing_support::PeImage;
using testing_support::PeImagePlan;

namespace {

template <typename T>
void Poke(std::string* bytes, size_t offset, T value) {
    memcpy(&(*bytes)[offset], &value, sizeof(T));
}

PeImage Sample() {
    PeImagePlan plan;
    plan.imports = {{"KERNEL32.dll", {"GetTickCount", "Sleep"}}, {"FooCore.dll", {"FooInit"}}};
    plan.exports = {"VSTPluginMain", "main"};
    return BuildPe(plan);
}

TEST(PeFile, ReadsHeadersImportsAndExportsOfAWellFormedDll) {
    PeImage image = Sample();
    PeFile pe = ParsePe(image.bytes);
    ASSERT_EQ(pe.kind, PeKind::Image) << pe.problem;
    EXPECT_EQ(pe.machine, 0x8664);
    EXPECT_TRUE(pe.pe32Plus);
    EXPECT_TRUE(pe.dll);
    EXPECT_EQ(pe.expectedSize, image.bytes.size());
    ASSERT_EQ(pe.imports.size(), 2u);
    EXPECT_EQ(pe.imports[0].dll, "KERNEL32.dll");
    ASSERT_EQ(pe.imports[0].functions.size(), 2u);
    EXPECT_EQ(pe.imports[0].functions[1].name, "Sleep");
    EXPECT_EQ(pe.imports[1].dll, "FooCore.dll");
    EXPECT_TRUE(pe.HasExport("VSTPluginMain"));
    EXPECT_TRUE(pe.HasExport("main"));
    EXPECT_FALSE(pe.HasExport("GetPluginFactory"));
    EXPECT_TRUE(pe.warnings.empty());
    // Exports name the code below an address: the nearest at or below it.
    const host::PeExport* below = pe.ExportAtOrBelow(image.codeRva + 0x15);
    ASSERT_NE(below, nullptr);
    EXPECT_EQ(below->name, "VSTPluginMain");

    // A 32-bit DLL and a program are told apart by their headers alone.
    PeImagePlan x86;
    x86.machine = 0x014C;
    x86.imports = {{"KERNEL32.dll", {"Sleep"}}};
    PeFile small = ParsePe(BuildPe(x86).bytes, host::kPeHeaders);
    EXPECT_EQ(small.kind, PeKind::Image);
    EXPECT_EQ(small.machine, 0x014C);
    EXPECT_FALSE(small.pe32Plus);
    EXPECT_EQ(host::MachineName(small.machine), "x86 (32-bit)");
    PeImagePlan program;
    program.dll = false;
    EXPECT_FALSE(ParsePe(BuildPe(program).bytes).dll);
}

// Routing reads only the machine and the optional header's magic, as a
// loader checks them first: a file cut short after them still goes to its
// machine's server, whose load names the damage; one cut before them is no PE.
TEST(PeFile, RoutingTakesTheMachineAndMagicOfAFileCutShortAfterThem) {
    std::string bytes = Sample().bytes;
    uint32_t header = 0;
    memcpy(&header, &bytes[0x3C], sizeof header);
    PeFile cut = ParsePe(bytes.substr(0, header + 26));
    EXPECT_EQ(cut.kind, PeKind::Truncated);
    EXPECT_EQ(cut.machine, 0x8664);
    ASSERT_TRUE(cut.magic.has_value());
    EXPECT_EQ(*cut.magic, 0x20B);
    EXPECT_EQ(host::MachineTypeOf(cut).machine, host::Machine::X64);

    PeFile shorter = ParsePe(bytes.substr(0, header + 25));
    EXPECT_FALSE(shorter.magic.has_value());
    EXPECT_EQ(host::MachineTypeOf(shorter).machine, host::Machine::NotPE);

    Poke<uint16_t>(&bytes, header + 24, 0x10B);
    host::MachineType disagreeing = host::MachineTypeOf(ParsePe(bytes, host::kPeHeaders));
    EXPECT_EQ(disagreeing.machine, host::Machine::Other);
    EXPECT_TRUE(disagreeing.headersDisagree);
    EXPECT_EQ(disagreeing.platform, "x64");
}

// Parses bytes that end right at an inaccessible page, so that a read one
// byte past the file is an access violation that ends the test program.
PeFile ParseAgainstGuardPage(const std::string& bytes) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    size_t page = system.dwPageSize;
    size_t pages = (bytes.size() + page - 1) / page + 1;
    char* region = static_cast<char*>(VirtualAlloc(nullptr, pages * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!region)
        return PeFile();
    DWORD old = 0;
    VirtualProtect(region + (pages - 1) * page, page, PAGE_NOACCESS, &old);
    char* start = region + (pages - 1) * page - bytes.size();
    if (!bytes.empty())
        memcpy(start, bytes.data(), bytes.size());
    PeFile pe = ParsePe(start, bytes.size());
    VirtualFree(region, 0, MEM_RELEASE);
    return pe;
}

}  // namespace

// Every malformed file is described, never trusted: each is read right
// against an inaccessible page, so a read past its end crashes the test.
TEST(PeFile, LyingFilesAreDescribedNotTrusted) {
    PeImage image = Sample();
    struct Case {
        const char* name;
        std::function<std::string()> make;
        PeKind kind;
        const char* says;  // in problem or the first warning
    };
    const Case cases[] = {
        {"zero bytes", [] { return std::string(); }, PeKind::Empty, "an empty file"},
        {"text", [] { return std::string("this is not a program"); }, PeKind::NotPe, "no \"MZ\" header"},
        {"MZ header pointing past the end",
         [&] {
             std::string bytes = image.bytes.substr(0, 64);
             Poke<uint32_t>(&bytes, 0x3C, 0x7FFFFFF0);
             return bytes;
         },
         PeKind::Truncated, "cut short: 64 of the"},
        {"DOS program",
         [&] {
             std::string bytes = image.bytes;
             Poke<uint32_t>(&bytes, image.peOffset, 0x12345678);
             return bytes;
         },
         PeKind::NotPe, "no \"PE\" signature"},
        {"cut short",
         [&] { return image.bytes.substr(0, 1024); },
         PeKind::Truncated, "cut short: 1 024 of the"},
        {"65 535 sections",
         [&] {
             std::string bytes = image.bytes;
             Poke<uint16_t>(&bytes, image.peOffset + 6, 0xFFFF);
             return bytes;
         },
         PeKind::Damaged, "65535 sections"},
        {"section bytes far past the end",
         [&] {
             std::string bytes = image.bytes;
             Poke<uint32_t>(&bytes, image.sectionTable + 40 + 20, 0xFFFFF000u);
             return bytes;
         },
         PeKind::Truncated, "bytes its headers name"},
        {"optional header of no known kind",
         [&] {
             std::string bytes = image.bytes;
             Poke<uint16_t>(&bytes, image.peOffset + 24, 0x1234);
             return bytes;
         },
         PeKind::Damaged, "magic 0x1234"},
        {"import table without its last entry",
         [&] {
             // Descriptors that never end: every one names the first DLL,
             // up to the end of the section.
             std::string bytes = image.bytes;
             std::string descriptor = bytes.substr(image.importTable, 20);
             for (size_t at = image.importTable; at + 20 <= image.dataOffset + image.dataSize; at += 20)
                 bytes.replace(at, 20, descriptor);
             return bytes;
         },
         PeKind::Image, "import table runs off"},
        {"imported DLL's name without its end",
         [&] {
             std::string bytes = image.bytes;
             std::fill(bytes.begin() + image.firstImportName, bytes.end(), 'A');
             return bytes;
         },
         PeKind::Image, "has no end"},
        {"import directory outside every section",
         [&] {
             std::string bytes = image.bytes;
             uint32_t directories = image.peOffset + 24 + 112;
             Poke<uint32_t>(&bytes, directories + 8, 0x7FFF0000u);
             return bytes;
         },
         PeKind::Image, "import table runs off"},
        {"export lists far away",
         [&] {
             std::string bytes = image.bytes;
             uint32_t directories = image.peOffset + 24 + 112;
             uint32_t exportRva = 0;
             memcpy(&exportRva, &bytes[directories], 4);
             size_t exportAt = image.dataOffset + (exportRva - image.dataRva);
             Poke<uint32_t>(&bytes, exportAt + 20, 0x40000000u);  // a billion functions
             return bytes;
         },
         PeKind::Image, "more than 65536"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = c.make();
        PeFile pe = ParseAgainstGuardPage(bytes);
        EXPECT_EQ(static_cast<int>(pe.kind), static_cast<int>(c.kind)) << pe.problem;
        std::string said = pe.problem;
        for (const std::string& warning : pe.warnings)
            said += " | " + warning;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
}

// Thousands of imports are read whole; a table made to be read over and
// over (thousands of descriptors sharing one long list) is cut off at a
// bound rather than read for minutes.
TEST(PeFile, ManyImportsAreReadAndEndlessOnesBounded) {
    PeImagePlan plan;
    std::vector<std::string> functions;
    for (int i = 0; i < 3000; i++)
        functions.push_back("Function" + std::to_string(i));
    plan.imports = {{"Big.dll", functions}};
    PeImage image = BuildPe(plan);
    PeFile pe = ParsePe(image.bytes);
    ASSERT_EQ(pe.imports.size(), 1u);
    EXPECT_EQ(pe.imports[0].functions.size(), 3000u);
    EXPECT_EQ(pe.imports[0].functions[2999].name, "Function2999");
    EXPECT_TRUE(pe.warnings.empty());

    // 2 000 descriptors over the one list of 3 000 functions: six million
    // entries if every one were read.
    std::string bytes = image.bytes.substr(0, image.dataOffset);
    std::string data = image.bytes.substr(image.dataOffset);
    std::string descriptor = data.substr(0, 20);
    std::string many;
    for (int i = 0; i < 2000; i++)
        many += descriptor;
    many += std::string(20, '\0');
    // The descriptors go at the end of the section, which grows to hold them.
    uint32_t tableAt = static_cast<uint32_t>(data.size());
    data += many;
    data.resize((data.size() + 0x1FF) / 0x200 * 0x200, '\0');
    bytes += data;
    Poke<uint32_t>(&bytes, image.sectionTable + 40 + 8, static_cast<uint32_t>(data.size()));
    Poke<uint32_t>(&bytes, image.sectionTable + 40 + 16, static_cast<uint32_t>(data.size()));
    Poke<uint32_t>(&bytes, image.peOffset + 24 + 112 + 8, image.dataRva + tableAt);
    auto start = std::chrono::steady_clock::now();
    PeFile looped = ParseAgainstGuardPage(bytes);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(looped.kind, PeKind::Image) << looped.problem;
    size_t read = 0;
    for (const host::PeImport& import : looped.imports)
        read += import.functions.size();
    EXPECT_LE(read, 200000u);
    EXPECT_GT(read, 100000u);
    ASSERT_FALSE(looped.warnings.empty());
    EXPECT_NE(looped.warnings.back().find("functions; the rest were not read"), std::string::npos);
    EXPECT_LT(seconds, 5.0);
}
