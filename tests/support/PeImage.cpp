#include "tests/support/PeImage.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace testing_support {

namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kHeadersSize = 0x400;

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

template <typename T>
void Put(std::string* bytes, size_t offset, T value) {
    if (bytes->size() < offset + sizeof(T))
        bytes->resize(offset + sizeof(T), '\0');
    memcpy(&(*bytes)[offset], &value, sizeof(T));
}

void PutText(std::string* bytes, size_t offset, const std::string& text) {
    if (bytes->size() < offset + text.size() + 1)
        bytes->resize(offset + text.size() + 1, '\0');
    memcpy(&(*bytes)[offset], text.data(), text.size());
    (*bytes)[offset + text.size()] = '\0';
}

}  // namespace

PeImage BuildPe(const PeImagePlan& plan) {
    bool wide = plan.machine == 0x8664 || plan.machine == 0xAA64;
    uint32_t thunk = wide ? 8 : 4;
    PeImage image;
    image.codeRva = kSectionAlignment;
    image.dataRva = 2 * kSectionAlignment;
    uint32_t codeSize = 0x10 * static_cast<uint32_t>(plan.exports.size() + 1);

    // The data section: import descriptors, then lookup and address tables,
    // then names; then the export directory and its lists.
    std::string data;
    uint32_t descriptors = 0;
    uint32_t at = (static_cast<uint32_t>(plan.imports.size()) + 1) * 20;
    std::vector<uint32_t> lookups;
    for (const auto& import : plan.imports) {
        lookups.push_back(at);
        at += (static_cast<uint32_t>(import.second.size()) + 1) * thunk;
    }
    std::vector<uint32_t> addresses;
    for (const auto& import : plan.imports) {
        addresses.push_back(at);
        at += (static_cast<uint32_t>(import.second.size()) + 1) * thunk;
    }
    for (size_t i = 0; i < plan.imports.size(); i++) {
        const auto& import = plan.imports[i];
        uint32_t nameAt = at;
        PutText(&data, nameAt, import.first);
        at += static_cast<uint32_t>(import.first.size()) + 1;
        if (i == 0)
            image.firstImportName = nameAt;
        for (size_t f = 0; f < import.second.size(); f++) {
            uint32_t hintAt = at;
            Put<uint16_t>(&data, hintAt, 0);
            PutText(&data, hintAt + 2, import.second[f]);
            at += static_cast<uint32_t>(import.second[f].size()) + 3;
            uint64_t entry = image.dataRva + hintAt;
            if (wide) {
                Put<uint64_t>(&data, lookups[i] + f * 8, entry);
                Put<uint64_t>(&data, addresses[i] + f * 8, entry);
            } else {
                Put<uint32_t>(&data, lookups[i] + f * 4, static_cast<uint32_t>(entry));
                Put<uint32_t>(&data, addresses[i] + f * 4, static_cast<uint32_t>(entry));
            }
        }
        uint32_t descriptor = descriptors + static_cast<uint32_t>(i) * 20;
        Put<uint32_t>(&data, descriptor, image.dataRva + lookups[i]);
        Put<uint32_t>(&data, descriptor + 12, image.dataRva + nameAt);
        Put<uint32_t>(&data, descriptor + 16, image.dataRva + addresses[i]);
    }
    at = AlignUp(at, 4);
    uint32_t exportDirectory = at;
    uint32_t exportSize = 0;
    if (!plan.exports.empty()) {
        uint32_t count = static_cast<uint32_t>(plan.exports.size());
        uint32_t functions = exportDirectory + 40;
        uint32_t names = functions + count * 4;
        uint32_t ordinals = names + count * 4;
        uint32_t text = ordinals + count * 2;
        Put<uint32_t>(&data, exportDirectory + 16, 1);
        Put<uint32_t>(&data, exportDirectory + 20, count);
        Put<uint32_t>(&data, exportDirectory + 24, count);
        Put<uint32_t>(&data, exportDirectory + 28, image.dataRva + functions);
        Put<uint32_t>(&data, exportDirectory + 32, image.dataRva + names);
        Put<uint32_t>(&data, exportDirectory + 36, image.dataRva + ordinals);
        // Names sorted, as the loader's binary search wants them.
        std::vector<std::string> sorted = plan.exports;
        std::sort(sorted.begin(), sorted.end());
        for (uint32_t i = 0; i < count; i++) {
            uint32_t index = static_cast<uint32_t>(
                std::find(plan.exports.begin(), plan.exports.end(), sorted[i]) - plan.exports.begin());
            Put<uint32_t>(&data, functions + index * 4, image.codeRva + 0x10 * (index + 1));
            Put<uint32_t>(&data, names + i * 4, image.dataRva + text);
            Put<uint16_t>(&data, ordinals + i * 2, static_cast<uint16_t>(index));
            PutText(&data, text, sorted[i]);
            text += static_cast<uint32_t>(sorted[i].size()) + 1;
        }
        exportSize = text - exportDirectory;
        at = text;
    }
    if (data.size() < at)
        data.resize(at, '\0');
    data.resize(AlignUp(static_cast<uint32_t>(data.size()) + 1, kFileAlignment), '\0');
    image.dataSize = static_cast<uint32_t>(data.size());

    std::string& out = image.bytes;
    out.assign(kHeadersSize, '\0');
    Put<uint16_t>(&out, 0, 0x5A4D);
    image.peOffset = 0x80;
    Put<uint32_t>(&out, 0x3C, image.peOffset);
    uint32_t pe = image.peOffset;
    Put<uint32_t>(&out, pe, 0x00004550);
    Put<uint16_t>(&out, pe + 4, plan.machine);
    Put<uint16_t>(&out, pe + 6, 2);
    uint16_t optionalSize = wide ? 240 : 224;
    Put<uint16_t>(&out, pe + 20, optionalSize);
    Put<uint16_t>(&out, pe + 22, static_cast<uint16_t>(0x0002 | (wide ? 0x0020 : 0x0100) | (plan.dll ? 0x2000 : 0)));
    uint32_t optional = pe + 24;
    Put<uint16_t>(&out, optional, wide ? 0x20B : 0x10B);
    Put<uint32_t>(&out, optional + 16, 0);  // no entry point: nothing runs when it loads
    if (wide)
        Put<uint64_t>(&out, optional + 24, 0x180000000ull);
    else
        Put<uint32_t>(&out, optional + 28, 0x10000000u);
    Put<uint32_t>(&out, optional + 32, kSectionAlignment);
    Put<uint32_t>(&out, optional + 36, kFileAlignment);
    Put<uint16_t>(&out, optional + 40, 6);  // operating system version
    Put<uint16_t>(&out, optional + 48, 6);  // subsystem version
    uint32_t imageSize = image.dataRva + AlignUp(image.dataSize, kSectionAlignment);
    Put<uint32_t>(&out, optional + 56, imageSize);
    Put<uint32_t>(&out, optional + 60, kHeadersSize);
    Put<uint16_t>(&out, optional + 68, 2);  // the GUI subsystem
    Put<uint16_t>(&out, optional + 70, 0x0140);  // dynamic base, NX compatible
    uint32_t sizes = optional + 72;
    uint64_t reserve = 0x100000, commit = 0x1000;
    if (wide) {
        Put<uint64_t>(&out, sizes, reserve);
        Put<uint64_t>(&out, sizes + 8, commit);
        Put<uint64_t>(&out, sizes + 16, reserve);
        Put<uint64_t>(&out, sizes + 24, commit);
    } else {
        Put<uint32_t>(&out, sizes, static_cast<uint32_t>(reserve));
        Put<uint32_t>(&out, sizes + 4, static_cast<uint32_t>(commit));
        Put<uint32_t>(&out, sizes + 8, static_cast<uint32_t>(reserve));
        Put<uint32_t>(&out, sizes + 12, static_cast<uint32_t>(commit));
    }
    uint32_t directories = optional + (wide ? 112 : 96);
    Put<uint32_t>(&out, directories - 4, 16);
    if (!plan.exports.empty()) {
        Put<uint32_t>(&out, directories, image.dataRva + exportDirectory);
        Put<uint32_t>(&out, directories + 4, exportSize);
    }
    if (!plan.imports.empty()) {
        Put<uint32_t>(&out, directories + 8, image.dataRva + descriptors);
        Put<uint32_t>(&out, directories + 12, (static_cast<uint32_t>(plan.imports.size()) + 1) * 20);
    }

    image.sectionTable = optional + optionalSize;
    uint32_t codeRaw = AlignUp(codeSize, kFileAlignment);
    uint32_t section = image.sectionTable;
    memcpy(&out[section], ".text", 5);
    Put<uint32_t>(&out, section + 8, codeSize);
    Put<uint32_t>(&out, section + 12, image.codeRva);
    Put<uint32_t>(&out, section + 16, codeRaw);
    Put<uint32_t>(&out, section + 20, kHeadersSize);
    Put<uint32_t>(&out, section + 36, 0x60000020u);  // code, execute, read
    section += 40;
    memcpy(&out[section], ".rdata", 6);
    Put<uint32_t>(&out, section + 8, image.dataSize);
    Put<uint32_t>(&out, section + 12, image.dataRva);
    Put<uint32_t>(&out, section + 16, image.dataSize);
    Put<uint32_t>(&out, section + 20, kHeadersSize + codeRaw);
    Put<uint32_t>(&out, section + 36, 0x40000040u);  // initialised data, read

    std::string code(codeRaw, '\xC3');  // every exported "function" returns at once
    out += code;
    image.dataOffset = static_cast<uint32_t>(out.size());
    out += data;
    image.importTable = image.dataOffset + descriptors;
    image.firstImportName += image.dataOffset;
    return image;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(file);
    return ok;
}

}  // namespace testing_support
