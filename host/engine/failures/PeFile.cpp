#include "host/engine/failures/PeFile.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace host {

namespace {

// Limits on what the reader believes. The loader itself accepts no more
// than 96 sections; the others are far beyond any real file and only keep a
// lying file from making the reader work quadratically.
constexpr uint32_t kMaxSections = 96;
constexpr size_t kMaxImportedDlls = 8192;
constexpr size_t kMaxImportedFunctions = 200000;
constexpr uint32_t kMaxExports = 65536;
constexpr size_t kMaxName = 1024;
constexpr uint64_t kMaxFileRead = 1ull << 30;

constexpr uint32_t kDirectoryExport = 0;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryException = 3;
constexpr uint32_t kDirectoryDelayImport = 13;

class Bytes {
public:
    Bytes(const char* data, size_t size) : data_(data), size_(size) {}
    uint64_t size() const { return size_; }
    const char* data() const { return data_; }
    bool Has(uint64_t offset, uint64_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }
    template <typename T>
    T Get(uint64_t offset) const {
        T value = 0;
        if (Has(offset, sizeof(T)))
            memcpy(&value, data_ + offset, sizeof(T));
        return value;
    }
    // A zero-terminated name; false when it runs off the file or past
    // kMaxName without its terminator.
    bool Name(uint64_t offset, std::string* name) const {
        name->clear();
        if (offset >= size_)
            return false;
        size_t limit = std::min<uint64_t>(kMaxName, size_ - offset);
        const char* from = data_ + offset;
        const void* end = memchr(from, 0, limit);
        if (!end)
            return false;
        name->assign(from, static_cast<const char*>(end));
        return true;
    }

private:
    const char* data_;
    size_t size_;
};

std::string Decimal(uint64_t value) {
    std::string digits = std::to_string(value);
    std::string out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i && (digits.size() - i) % 3 == 0)
            out += ' ';
        out += digits[i];
    }
    return out;
}

std::string HexText(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

class Reader {
public:
    Reader(const Bytes& in, PeFile* pe) : in_(in), pe_(*pe) {}

    bool Headers(std::vector<Directory>* directories) {
        if (in_.size() == 0) {
            pe_.kind = PeKind::Empty;
            pe_.problem = "an empty file";
            return false;
        }
        if (in_.size() < 64 || in_.Get<uint16_t>(0) != 0x5A4D)
            return NotPe("not a Windows program file (no \"MZ\" header)");
        uint64_t pe = in_.Get<uint32_t>(0x3C);
        if (!in_.Has(pe, 24))
            return Truncated(pe + 24, "its header");
        if (in_.Get<uint32_t>(pe) != 0x00004550)
            return NotPe("an old DOS or 16-bit program, not a Windows program file (no \"PE\" signature)");
        pe_.machine = in_.Get<uint16_t>(pe + 4);
        uint32_t sectionCount = in_.Get<uint16_t>(pe + 6);
        uint32_t optionalSize = in_.Get<uint16_t>(pe + 20);
        uint16_t characteristics = in_.Get<uint16_t>(pe + 22);
        pe_.dll = (characteristics & 0x2000) != 0;
        uint64_t optional = pe + 24;
        if (in_.Has(optional, 2))
            pe_.magic = in_.Get<uint16_t>(optional);
        if (!in_.Has(optional, optionalSize))
            return Truncated(optional + optionalSize, "its optional header");
        uint16_t magic = optionalSize >= 2 ? in_.Get<uint16_t>(optional) : 0;
        if (magic != 0x10B && magic != 0x20B)
            return Damaged("its optional header is of no known kind (magic " + HexText(magic) + ")");
        pe_.pe32Plus = magic == 0x20B;
        // The fields differ between the 32-bit and the 64-bit header only
        // up to the data directories, which start 16 bytes later in the latter.
        uint32_t fixedSize = pe_.pe32Plus ? 112 : 96;
        if (optionalSize < fixedSize)
            return Damaged("its optional header is too short (" + std::to_string(optionalSize) + " bytes)");
        pe_.imageBase = pe_.pe32Plus ? in_.Get<uint64_t>(optional + 24) : in_.Get<uint32_t>(optional + 28);
        pe_.imageSize = in_.Get<uint32_t>(optional + 56);
        uint32_t headersSize = in_.Get<uint32_t>(optional + 60);
        uint32_t directoryCount = in_.Get<uint32_t>(optional + fixedSize - 4);
        directoryCount = std::min<uint32_t>(directoryCount, (optionalSize - fixedSize) / 8);
        directoryCount = std::min<uint32_t>(directoryCount, 16);
        for (uint32_t i = 0; i < directoryCount; i++)
            directories->push_back({in_.Get<uint32_t>(optional + fixedSize + i * 8),
                                    in_.Get<uint32_t>(optional + fixedSize + i * 8 + 4)});

        if (sectionCount > kMaxSections)
            return Damaged("its header names " + std::to_string(sectionCount) +
                           " sections, more than Windows loads (96)");
        uint64_t table = optional + optionalSize;
        if (!in_.Has(table, sectionCount * 40ull))
            return Truncated(table + sectionCount * 40ull, "its section table");
        uint64_t expected = headersSize;
        for (uint32_t i = 0; i < sectionCount; i++) {
            uint64_t at = table + i * 40ull;
            PeSection section;
            const char* name = in_.data() + at;
            section.name.assign(name, strnlen(name, 8));
            section.virtualSize = in_.Get<uint32_t>(at + 8);
            section.virtualAddress = in_.Get<uint32_t>(at + 12);
            section.rawSize = in_.Get<uint32_t>(at + 16);
            section.rawOffset = in_.Get<uint32_t>(at + 20);
            section.characteristics = in_.Get<uint32_t>(at + 36);
            if (section.rawSize)
                expected = std::max<uint64_t>(expected, uint64_t{section.rawOffset} + section.rawSize);
            pe_.sections.push_back(section);
        }
        pe_.expectedSize = expected;
        if (expected > pe_.fileSize)
            return Truncated(expected, "");
        pe_.kind = PeKind::Image;
        return true;
    }

    void Imports(const Directory& directory, bool delayed) {
        if (!directory.rva)
            return;
        // Import descriptors are 20 bytes, delay-load ones 32; both end
        // with an all-zero entry, which a lying table may never have.
        uint32_t stride = delayed ? 32 : 20;
        for (uint32_t index = 0;; index++) {
            uint64_t at = 0;
            if (!pe_.FileOffset(directory.rva + index * stride, stride, &at)) {
                Warn(std::string("its ") + (delayed ? "delay-load " : "") +
                     "import table runs off the file's contents");
                return;
            }
            uint32_t nameRva = in_.Get<uint32_t>(at + (delayed ? 4 : 12));
            if (!nameRva)
                return;
            if (pe_.imports.size() >= kMaxImportedDlls) {
                Warn("it imports from more than " + std::to_string(kMaxImportedDlls) +
                     " DLLs; the rest were not read");
                return;
            }
            PeImport import;
            import.delayed = delayed;
            uint64_t nameAt = 0;
            if (!pe_.FileOffset(nameRva, 1, &nameAt) || !in_.Name(nameAt, &import.dll)) {
                Warn("the name of an imported DLL is outside the file or has no end");
                continue;
            }
            // The lookup table names the functions; the address table does
            // too before binding, and stands in for a missing lookup table.
            uint32_t lookup = delayed ? in_.Get<uint32_t>(at + 16) : in_.Get<uint32_t>(at);
            if (!lookup)
                lookup = delayed ? in_.Get<uint32_t>(at + 12) : in_.Get<uint32_t>(at + 16);
            // The delay-load table of very old linkers holds addresses, not
            // offsets from the base; none of them made a 64-bit file.
            if (delayed && !(in_.Get<uint32_t>(at) & 1) && !pe_.pe32Plus && lookup >= pe_.imageBase)
                lookup -= static_cast<uint32_t>(pe_.imageBase);
            Functions(lookup, &import);
            pe_.imports.push_back(std::move(import));
        }
    }

    void Exports(const Directory& directory) {
        uint64_t at = 0;
        if (!directory.rva)
            return;
        if (!pe_.FileOffset(directory.rva, 40, &at)) {
            Warn("its export table is outside the file's contents");
            return;
        }
        uint32_t base = in_.Get<uint32_t>(at + 16);
        uint32_t functionCount = in_.Get<uint32_t>(at + 20);
        uint32_t nameCount = in_.Get<uint32_t>(at + 24);
        uint32_t functionsRva = in_.Get<uint32_t>(at + 28);
        uint32_t namesRva = in_.Get<uint32_t>(at + 32);
        uint32_t ordinalsRva = in_.Get<uint32_t>(at + 36);
        uint64_t nameAt = 0;
        if (pe_.FileOffset(in_.Get<uint32_t>(at + 12), 1, &nameAt))
            in_.Name(nameAt, &pe_.exportName);
        if (functionCount > kMaxExports || nameCount > kMaxExports) {
            Warn("its export table names more than " + std::to_string(kMaxExports) +
                 " functions; the rest were not read");
            functionCount = std::min(functionCount, kMaxExports);
            nameCount = std::min(nameCount, kMaxExports);
        }
        uint64_t functions = 0, names = 0, ordinals = 0;
        if (!pe_.FileOffset(functionsRva, functionCount * 4, &functions) ||
            !pe_.FileOffset(namesRva, nameCount * 4, &names) ||
            !pe_.FileOffset(ordinalsRva, nameCount * 2, &ordinals)) {
            Warn("its export table's lists are outside the file's contents");
            return;
        }
        std::vector<bool> named(functionCount, false);
        for (uint32_t i = 0; i < nameCount; i++) {
            uint16_t index = in_.Get<uint16_t>(ordinals + i * 2ull);
            PeExport entry;
            uint64_t textAt = 0;
            if (!pe_.FileOffset(in_.Get<uint32_t>(names + i * 4ull), 1, &textAt) ||
                !in_.Name(textAt, &entry.name)) {
                Warn("the name of an exported function is outside the file or has no end");
                continue;
            }
            if (index >= functionCount) {
                Warn("the exported function " + entry.name + " points past the export list");
                continue;
            }
            named[index] = true;
            AddExport(std::move(entry), index, base, functions, directory);
        }
        for (uint32_t index = 0; index < functionCount; index++)
            if (!named[index] && in_.Get<uint32_t>(functions + index * 4ull))
                AddExport(PeExport(), index, base, functions, directory);
    }

    void Functions(const Directory& directory) {
        uint64_t at = 0;
        uint32_t count = directory.size / 12;
        if (!directory.rva || !count)
            return;
        if (!pe_.FileOffset(directory.rva, count * 12, &at)) {
            Warn("its function table is outside the file's contents");
            return;
        }
        pe_.functions.reserve(count);
        for (uint32_t i = 0; i < count; i++) {
            PeFunctionEntry entry{in_.Get<uint32_t>(at + i * 12ull), in_.Get<uint32_t>(at + i * 12ull + 4),
                                  in_.Get<uint32_t>(at + i * 12ull + 8)};
            if (entry.begin < entry.end)
                pe_.functions.push_back(entry);
        }
        // Linkers sort it; a file that does not is not trusted to be.
        std::sort(pe_.functions.begin(), pe_.functions.end(),
                  [](const PeFunctionEntry& a, const PeFunctionEntry& b) { return a.begin < b.begin; });
    }

private:
    bool NotPe(const std::string& problem) {
        pe_.kind = PeKind::NotPe;
        pe_.problem = problem;
        return false;
    }
    bool Damaged(const std::string& problem) {
        pe_.kind = PeKind::Damaged;
        pe_.problem = problem;
        return false;
    }
    bool Truncated(uint64_t needed, const std::string& part) {
        pe_.kind = PeKind::Truncated;
        pe_.expectedSize = needed;
        pe_.problem = "cut short: " + Decimal(pe_.fileSize) + " of the " + Decimal(needed) + " bytes " +
                      (part.empty() ? "its headers name" : "that " + part + " needs");
        return false;
    }
    void Warn(const std::string& text) {
        if (std::find(pe_.warnings.begin(), pe_.warnings.end(), text) == pe_.warnings.end())
            pe_.warnings.push_back(text);
    }

    void Functions(uint32_t lookup, PeImport* import) {
        uint32_t width = pe_.pe32Plus ? 8 : 4;
        for (uint32_t index = 0; lookup; index++) {
            if (functionsRead_ >= kMaxImportedFunctions) {
                Warn("it imports more than " + std::to_string(kMaxImportedFunctions) +
                     " functions; the rest were not read");
                return;
            }
            uint64_t at = 0;
            if (!pe_.FileOffset(lookup + index * width, width, &at)) {
                Warn("the functions it imports from " + import->dll + " run off the file's contents");
                return;
            }
            uint64_t entry = width == 8 ? in_.Get<uint64_t>(at) : in_.Get<uint32_t>(at);
            if (!entry)
                return;
            functionsRead_++;
            PeImportedFunction function;
            uint64_t ordinalFlag = width == 8 ? 1ull << 63 : 1ull << 31;
            if (entry & ordinalFlag) {
                function.ordinal = static_cast<uint16_t>(entry);
            } else {
                uint64_t nameAt = 0;
                // A hint of two bytes, then the name.
                if (!pe_.FileOffset(static_cast<uint32_t>(entry) + 2, 1, &nameAt) ||
                    !in_.Name(nameAt, &function.name)) {
                    Warn("the name of a function imported from " + import->dll +
                         " is outside the file or has no end");
                    continue;
                }
            }
            import->functions.push_back(std::move(function));
        }
    }

    void AddExport(PeExport entry, uint32_t index, uint32_t base, uint64_t functions,
                   const Directory& directory) {
        entry.ordinal = static_cast<uint16_t>(base + index);
        entry.rva = in_.Get<uint32_t>(functions + index * 4ull);
        // An address inside the export directory is a forwarder's text.
        if (entry.rva >= directory.rva && entry.rva - directory.rva < directory.size) {
            uint64_t textAt = 0;
            if (pe_.FileOffset(entry.rva, 1, &textAt))
                in_.Name(textAt, &entry.forwarder);
            entry.rva = 0;
        }
        pe_.exports.push_back(std::move(entry));
    }

    const Bytes& in_;
    PeFile& pe_;
    size_t functionsRead_ = 0;
};

}  // namespace

const PeSection* PeFile::SectionAt(uint32_t rva) const {
    for (const PeSection& section : sections) {
        uint32_t extent = section.virtualSize ? section.virtualSize : section.rawSize;
        if (rva >= section.virtualAddress && rva - section.virtualAddress < extent)
            return &section;
    }
    return nullptr;
}

bool PeFile::FileOffset(uint32_t rva, uint32_t count, uint64_t* offset) const {
    uint64_t at = 0;
    uint64_t limit = 0;
    if (const PeSection* section = SectionAt(rva)) {
        at = uint64_t{section->rawOffset} + (rva - section->virtualAddress);
        limit = uint64_t{section->rawOffset} + section->rawSize;
    } else if (!sections.empty() && rva < sections.front().virtualAddress) {
        at = rva;  // inside the headers, which are mapped as they are in the file
        limit = sections.front().virtualAddress;
    } else {
        return false;
    }
    limit = std::min(limit, fileSize);
    if (at > limit || count > limit - at)
        return false;
    *offset = at;
    return true;
}

bool PeFile::HasExport(const std::string& name) const {
    for (const PeExport& entry : exports)
        if (entry.name == name)
            return true;
    return false;
}

const PeExport* PeFile::ExportAtOrBelow(uint32_t rva) const {
    const PeExport* best = nullptr;
    for (const PeExport& entry : exports)
        if (entry.rva && entry.rva <= rva && (!best || entry.rva > best->rva))
            best = &entry;
    return best;
}

const PeFunctionEntry* PeFile::FunctionAt(uint32_t rva) const {
    auto after = std::upper_bound(functions.begin(), functions.end(), rva,
                                  [](uint32_t value, const PeFunctionEntry& entry) { return value < entry.begin; });
    if (after == functions.begin())
        return nullptr;
    const PeFunctionEntry& entry = *(after - 1);
    return rva < entry.end ? &entry : nullptr;
}

PeFile ParsePe(const std::string& bytes, unsigned parts, uint64_t fileSize) {
    return ParsePe(bytes.data(), bytes.size(), parts, fileSize);
}

PeFile ParsePe(const char* data, size_t size, unsigned parts, uint64_t fileSize) {
    PeFile pe;
    pe.fileSize = std::max<uint64_t>(fileSize, size);
    Bytes in(data, size);
    Reader reader(in, &pe);
    std::vector<Directory> directories;
    if (!reader.Headers(&directories))
        return pe;
    auto directory = [&](uint32_t index) { return index < directories.size() ? directories[index] : Directory(); };
    if (parts & kPeImports) {
        reader.Imports(directory(kDirectoryImport), false);
        reader.Imports(directory(kDirectoryDelayImport), true);
    }
    if (parts & kPeExports)
        reader.Exports(directory(kDirectoryExport));
    if (parts & kPeFunctions)
        reader.Functions(directory(kDirectoryException));
    return pe;
}

bool ReadFileStart(const std::wstring& path, uint64_t limit, std::string* bytes, uint64_t* fileSize,
                   std::string* problem) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *problem = "it cannot be opened (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    *fileSize = static_cast<uint64_t>(size.QuadPart);
    bytes->assign(static_cast<size_t>(std::min(*fileSize, limit)), '\0');
    DWORD got = 0;
    bool read = bytes->empty() ||
                (ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &got, nullptr) && got == bytes->size());
    CloseHandle(file);
    if (!read)
        *problem = "it cannot be read";
    return read;
}

PeFile ReadPe(const std::wstring& path, unsigned parts) {
    // Headers only need the first pages; a file that big is read no further.
    uint64_t limit = parts == kPeHeaders ? 64 * 1024 : kMaxFileRead;
    std::string bytes;
    uint64_t size = 0;
    PeFile pe;
    if (!ReadFileStart(path, limit, &bytes, &size, &pe.problem))
        return pe;
    // Only part may have been read, on purpose: the file is as long as it says.
    return ParsePe(bytes, parts, size);
}

std::string MachineName(uint16_t machine) {
    switch (machine) {
    case 0x8664: return "x64";
    case 0x014C: return "x86 (32-bit)";
    case 0xAA64: return "ARM64";
    case 0xA641: return "ARM64EC";
    case 0x01C4: return "ARM (32-bit)";
    case 0x01C0: return "ARM (32-bit)";
    case 0x0200: return "Itanium";
    default: {
        char text[32];
        snprintf(text, sizeof text, "machine type 0x%04X", machine);
        return text;
    }
    }
}

std::string ImageBytes(const std::string& bytes, const PeFile& pe, uint32_t rva, uint32_t count) {
    uint64_t at = 0;
    if (!pe.FileOffset(rva, count, &at) || at + count > bytes.size())
        return std::string();
    return bytes.substr(at, count);
}

}  // namespace host
