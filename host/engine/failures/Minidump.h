#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "host/engine/util/Text.h"

// The parts of the minidump format that the dump reader reads and the hang
// dump's remaking writes: stream types, record sizes, processor codes,
// where the registers lie in each architecture's CONTEXT record, which is
// what a thread's context in a dump is, and a reader of a dump's bytes.
namespace host {
namespace minidump {

constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kExceptionStream = 6;
constexpr uint32_t kSystemInfoStream = 7;
constexpr uint32_t kUnloadedModuleListStream = 14;
constexpr size_t kThreadSize = 48;
constexpr size_t kModuleSize = 108;
// MINIDUMP_SYSTEM_INFO's ProcessorArchitecture.
constexpr uint16_t kArchitectureX86 = 0;
constexpr uint16_t kArchitectureX64 = 9;

// In the x64 CONTEXT record: cs, ds, es, fs, gs, ss, then eflags; rax to
// r15 in the unwind data's order; rip.
constexpr size_t kContextSegments = 0x38;
constexpr size_t kContextRax = 0x78;
constexpr size_t kContextRsp = 0x98;
constexpr size_t kContextRip = 0xF8;
// In the x86 CONTEXT record: gs, fs, es, ds; edi, esi, ebx, edx, ecx, eax,
// ebp, eip; cs, eflags, esp, ss.
constexpr size_t kContextX86Gs = 0x8C;
constexpr size_t kContextX86Edi = 0x9C;
constexpr size_t kContextX86Ebp = 0xB4;
constexpr size_t kContextX86Eip = 0xB8;
constexpr size_t kContextX86Cs = 0xBC;
constexpr size_t kContextX86Esp = 0xC4;
constexpr size_t kContextX86Size = 0x2CC;

// Reads little-endian values at offsets checked against the dump's size.
class Bytes {
public:
    explicit Bytes(const std::string& bytes) : bytes_(bytes) {}

    bool Has(uint64_t offset, uint64_t size) const {
        return offset <= bytes_.size() && size <= bytes_.size() - offset;
    }
    uint32_t U32(uint64_t offset) const {
        uint32_t value = 0;
        if (Has(offset, 4))
            memcpy(&value, bytes_.data() + offset, 4);
        return value;
    }
    uint64_t U64(uint64_t offset) const {
        uint64_t value = 0;
        if (Has(offset, 8))
            memcpy(&value, bytes_.data() + offset, 8);
        return value;
    }
    // A MINIDUMP_STRING: a byte length, then UTF-16 text.
    std::string Text(uint64_t offset) const {
        uint32_t length = U32(offset);
        if (!Has(offset + 4, length))
            return std::string();
        std::wstring wide(length / 2, L'\0');
        memcpy(&wide[0], bytes_.data() + offset + 4, wide.size() * 2);
        return ToUtf8(wide);
    }
    std::string Slice(uint64_t offset, uint64_t size) const {
        return Has(offset, size) ? bytes_.substr(offset, size) : std::string();
    }

private:
    const std::string& bytes_;
};

}  // namespace minidump
}  // namespace host
