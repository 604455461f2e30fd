#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// A small PE file made by the tests, to read back or to hand to the loader:
// headers, then one data section holding its import and export tables and,
// when asked, a code section with a function table.
struct PeImagePlan {
    uint16_t machine = 0x8664;
    bool dll = true;
    // DLL name and the functions imported from it by name.
    std::vector<std::pair<std::string, std::vector<std::string>>> imports;
    std::vector<std::string> exports;  // each exported at its own address in the code section
};

struct PeImage {
    std::string bytes;
    uint32_t peOffset = 0;          // of the "PE" signature
    uint32_t sectionTable = 0;      // file offset of the first section header
    uint32_t dataOffset = 0;        // file offset of the data section's bytes
    uint32_t dataRva = 0;
    uint32_t dataSize = 0;
    uint32_t importTable = 0;       // file offset of the first import descriptor
    uint32_t firstImportName = 0;   // file offset of the first imported DLL's name
    uint32_t codeRva = 0;           // where the exports point
};

PeImage BuildPe(const PeImagePlan& plan);

// Writes bytes to path; false when it cannot.
bool WriteBytes(const std::wstring& path, const std::string& bytes);

}  // namespace testing_support
