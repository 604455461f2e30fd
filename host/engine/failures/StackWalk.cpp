#include "host/engine/failures/StackWalk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/engine/plan/Discovery.h"
#include "host/engine/util/Text.h"

namespace host {

namespace {

// Unwind operation codes of the x64 unwind data.
enum : uint8_t {
    kPushNonvolatile = 0,
    kAllocLarge = 1,
    kAllocSmall = 2,
    kSetFramePointer = 3,
    kSaveNonvolatile = 4,
    kSaveNonvolatileFar = 5,
    kEpilog = 6,  // version 2; in version 1, an XMM save (two slots as well)
    kSaveXmmFar = 7,
    kSaveXmm128 = 8,
    kSaveXmm128Far = 9,
    kPushMachineFrame = 10,
};
constexpr uint8_t kChainInfo = 4;
// Chains longer than this are a loop in a damaged file.
constexpr int kMaxChain = 32;

int SlotsOf(uint8_t op, uint8_t info) {
    switch (op) {
    case kAllocLarge: return info ? 3 : 2;
    case kSaveNonvolatile:
    case kEpilog:
    case kSaveXmm128: return 2;
    case kSaveNonvolatileFar:
    case kSaveXmmFar:
    case kSaveXmm128Far: return 3;
    default: return 1;
    }
}

class Memory {
public:
    Memory(uint64_t start, const std::string& bytes) : start_(start), bytes_(bytes) {}
    bool Holds(uint64_t address, uint64_t size) const {
        return address >= start_ && address - start_ <= bytes_.size() && bytes_.size() - (address - start_) >= size;
    }
    bool Read(uint64_t address, uint64_t* value) const {
        if (!Holds(address, 8))
            return false;
        memcpy(value, bytes_.data() + (address - start_), 8);
        return true;
    }
    bool Read32(uint64_t address, uint64_t* value) const {
        uint32_t word = 0;
        if (!Holds(address, 4))
            return false;
        memcpy(&word, bytes_.data() + (address - start_), 4);
        *value = word;
        return true;
    }

private:
    uint64_t start_;
    const std::string& bytes_;
};

const WalkModule* ModuleAt(const std::vector<WalkModule>& modules, uint64_t address) {
    for (const WalkModule& module : modules)
        if (address >= module.base && address - module.base < module.size)
            return &module;
    return nullptr;
}

// Undoes one function's prolog as far as it ran (all of it for a chained
// parent), moving regs to its caller's view except for rip. False when the
// data or the stack cannot be read.
bool ApplyUnwindInfo(const ModuleFiles::File& file, uint32_t unwindRva, uint32_t offsetInFunction,
                     bool wholeProlog, const Memory& memory, Registers* regs, bool* machineFrame,
                     int depth) {
    if (depth > kMaxChain)
        return false;
    std::string header = ImageBytes(file.bytes, file.pe, unwindRva, 4);
    if (header.size() != 4)
        return false;
    uint8_t flags = static_cast<uint8_t>(header[0]) >> 3;
    uint8_t count = static_cast<uint8_t>(header[2]);
    uint8_t frameRegister = static_cast<uint8_t>(header[3]) & 0x0F;
    uint8_t frameOffset = static_cast<uint8_t>(header[3]) >> 4;
    std::string codes = ImageBytes(file.bytes, file.pe, unwindRva + 4, count * 2u);
    if (codes.size() != count * 2u)
        return false;

    // The frame the saves are relative to: the frame register once the
    // prolog has set it, otherwise the stack pointer.
    uint64_t frame = regs->gpr[4];
    if (frameRegister) {
        for (int i = 0; i < count; i += SlotsOf(static_cast<uint8_t>(codes[i * 2 + 1]) & 0x0F,
                                                  static_cast<uint8_t>(codes[i * 2 + 1]) >> 4)) {
            uint8_t op = static_cast<uint8_t>(codes[i * 2 + 1]) & 0x0F;
            if (op == kSetFramePointer && (wholeProlog || static_cast<uint8_t>(codes[i * 2]) <= offsetInFunction))
                frame = regs->gpr[frameRegister] - frameOffset * 16ull;
        }
    }
    auto slot16 = [&](int i) {
        uint16_t value = 0;
        memcpy(&value, codes.data() + i * 2, 2);
        return value;
    };
    for (int i = 0; i < count;) {
        uint8_t codeOffset = static_cast<uint8_t>(codes[i * 2]);
        uint8_t op = static_cast<uint8_t>(codes[i * 2 + 1]) & 0x0F;
        uint8_t info = static_cast<uint8_t>(codes[i * 2 + 1]) >> 4;
        int slots = SlotsOf(op, info);
        if (i + slots > count)
            return false;
        if (!wholeProlog && codeOffset > offsetInFunction) {
            i += slots;
            continue;
        }
        uint64_t value = 0;
        switch (op) {
        case kPushNonvolatile:
            if (!memory.Read(regs->gpr[4], &value))
                return false;
            regs->gpr[info] = value;
            regs->gpr[4] += 8;
            break;
        case kAllocLarge:
            if (info == 0) {
                regs->gpr[4] += slot16(i + 1) * 8ull;
            } else {
                regs->gpr[4] += slot16(i + 1) | static_cast<uint64_t>(slot16(i + 2)) << 16;
            }
            break;
        case kAllocSmall:
            regs->gpr[4] += info * 8ull + 8;
            break;
        case kSetFramePointer:
            regs->gpr[4] = regs->gpr[frameRegister] - frameOffset * 16ull;
            break;
        case kSaveNonvolatile:
            if (!memory.Read(frame + slot16(i + 1) * 8ull, &value))
                return false;
            regs->gpr[info] = value;
            break;
        case kSaveNonvolatileFar:
            if (!memory.Read(frame + (slot16(i + 1) | static_cast<uint64_t>(slot16(i + 2)) << 16), &value))
                return false;
            regs->gpr[info] = value;
            break;
        case kPushMachineFrame: {
            // The processor pushed rip, cs, eflags, rsp and ss, after an
            // error code when info says so.
            uint64_t at = regs->gpr[4] + (info ? 8 : 0);
            uint64_t rsp = 0;
            if (!memory.Read(at, &value) || !memory.Read(at + 24, &rsp))
                return false;
            regs->rip = value;
            regs->gpr[4] = rsp;
            *machineFrame = true;
            break;
        }
        default:
            break;  // XMM saves and epilog notes change no general register
        }
        i += slots;
    }
    if (flags & kChainInfo) {
        uint32_t at = unwindRva + 4 + ((count + 1u) & ~1u) * 2;
        std::string chained = ImageBytes(file.bytes, file.pe, at, 12);
        if (chained.size() != 12)
            return false;
        uint32_t parentUnwind = 0;
        memcpy(&parentUnwind, chained.data() + 8, 4);
        return ApplyUnwindInfo(file, parentUnwind, 0, true, memory, regs, machineFrame, depth + 1);
    }
    return true;
}

// Names a frame by the export it lies in: the nearest at or below, with no
// other function of the function table between the two, so that code an
// export merely precedes (a static library linked after it) is not taken
// for its body. Leaf functions (system call stubs) have no entry of their
// own; the end of the entry before them bounds them.
void NameFrame(const ModuleFiles::File* file, StackFrame* frame, uint32_t lookupRva) {
    if (!file)
        return;
    const PeExport* nearest = file->pe.ExportAtOrBelow(lookupRva);
    if (!nearest)
        return;
    const std::vector<PeFunctionEntry>& functions = file->pe.functions;
    auto after = std::upper_bound(functions.begin(), functions.end(), lookupRva,
                                  [](uint32_t value, const PeFunctionEntry& entry) { return value < entry.begin; });
    uint32_t from = 0;
    if (after != functions.begin())
        from = lookupRva < (after - 1)->end ? (after - 1)->begin : (after - 1)->end;
    if (nearest->rva >= from) {
        frame->exportName = nearest->name.empty() ? "#" + std::to_string(nearest->ordinal) : nearest->name;
        frame->exportOffset = frame->offset - nearest->rva;
    }
}

// A call on x86, as the bytes before the address it returns to show it.
struct CallSite {
    bool found = false;
    bool direct = false;  // E8 rel32, whose target is known
    uint64_t target = 0;
};

// Whether the code of file just before rva ends with a call: a direct call
// (E8 rel32) or an indirect one (FF /2), in each of its addressing forms.
CallSite CallBefore(const ModuleFiles::File& file, uint64_t base, uint32_t rva) {
    CallSite call;
    for (uint32_t length = 2; length <= 7 && length <= rva; length++) {
        std::string code = ImageBytes(file.bytes, file.pe, rva - length, length);
        if (code.size() != length)
            continue;
        uint8_t opcode = static_cast<uint8_t>(code[0]);
        if (length == 5 && opcode == 0xE8) {
            int32_t relative = 0;
            memcpy(&relative, code.data() + 1, 4);
            call.found = call.direct = true;
            call.target = base + rva + static_cast<int64_t>(relative);
            return call;
        }
        uint8_t modrm = static_cast<uint8_t>(code[1]);
        if (opcode != 0xFF || ((modrm >> 3) & 7) != 2)
            continue;
        uint8_t mod = modrm >> 6, rm = modrm & 7;
        uint32_t needed = 2;
        if (mod != 3 && rm == 4) {
            if (length < 3)
                continue;
            needed++;
            if (mod == 0 && (static_cast<uint8_t>(code[2]) & 7) == 5)
                needed += 4;  // a SIB byte with no base: disp32
        }
        needed += mod == 1 ? 1 : mod == 2 ? 4 : (mod == 0 && rm == 5) ? 4 : 0;
        if (needed == length) {
            call.found = true;
            return call;
        }
    }
    return call;
}

constexpr uint16_t kMachineX86 = 0x014C;

// The file of a module of an x86 process, when it is an x86 image.
const ModuleFiles::File* X86File(ModuleFiles* files, const WalkModule* module) {
    const ModuleFiles::File* file = module ? files->Get(module->path) : nullptr;
    return file && file->pe.machine == kMachineX86 ? file : nullptr;
}

// Whether address is one a call in a module's code returns to.
bool IsReturnAddress(const std::vector<WalkModule>& modules, ModuleFiles* files, uint64_t address,
                     CallSite* call) {
    const WalkModule* module = ModuleAt(modules, address);
    const ModuleFiles::File* file = X86File(files, module);
    if (!file)
        return false;
    uint32_t rva = static_cast<uint32_t>(address - module->base);
    const PeSection* section = file->pe.SectionAt(rva);
    if (!section || !section->Executable())
        return false;
    *call = CallBefore(*file, module->base, rva);
    return call->found;
}

// Whether the thread, stopped at eip, has not set up a frame of its own, so
// that the top of the stack, a return address, is where it was called from.
// Certain when eip is at a return (the frame, if any, is gone), or when the
// call was a direct one to a function in eip's module at or below eip that
// does not begin by setting up a frame eip is past. An indirect call's
// target is unknown: its return address on top of a function that has a
// frame would be a stale value, so it is not taken.
bool FrameZeroIsFrameless(const ModuleFiles::File& file, const WalkModule& module, uint64_t eip,
                          const CallSite& call) {
    uint32_t rva = static_cast<uint32_t>(eip - module.base);
    std::string here = ImageBytes(file.bytes, file.pe, rva, 1);
    if (here == "\xC3" || here == "\xC2")
        return true;
    if (!call.direct || call.target < module.base || call.target > eip)
        return false;
    uint32_t start = static_cast<uint32_t>(call.target - module.base);
    std::string prolog = ImageBytes(file.bytes, file.pe, start, 5);
    // push ebp; mov ebp, esp (either encoding), after the two-byte no-op
    // that makes a function patchable when there is one.
    size_t at = prolog.compare(0, 2, "\x8B\xFF") == 0 ? 2 : 0;
    bool framed = prolog.size() >= at + 3 && prolog[at] == '\x55' &&
                  (prolog.compare(at + 1, 2, "\x89\xE5") == 0 || prolog.compare(at + 1, 2, "\x8B\xEC") == 0);
    return !framed || eip < call.target + at + 3;
}

// Names an x86 frame by an export only where that is certain: the code from
// the export up to the frame's address runs straight, every instruction one
// that never leaves the function (a constant moved to a register, a call,
// which returns, the patchable no-op, the frame's set-up), so the frame lies
// in the function entered at the export. This is what a system call stub
// is. Anything else stays unnamed: an x86 image has no function table, and
// the nearest export below an address may be any function's.
void NameFrameX86(const ModuleFiles::File& file, StackFrame* frame) {
    constexpr uint32_t kLongest = 32;
    uint32_t rva = static_cast<uint32_t>(frame->offset);
    const PeExport* nearest = file.pe.ExportAtOrBelow(rva);
    if (!nearest || rva - nearest->rva > kLongest)
        return;
    std::string code = ImageBytes(file.bytes, file.pe, nearest->rva, rva - nearest->rva);
    if (code.size() != rva - nearest->rva)
        return;
    size_t at = 0;
    while (at < code.size()) {
        uint8_t op = static_cast<uint8_t>(code[at]);
        uint8_t next = at + 1 < code.size() ? static_cast<uint8_t>(code[at + 1]) : 0;
        if (op >= 0xB8 && op <= 0xBF)
            at += 5;  // mov r32, imm32
        else if (op == 0xE8)
            at += 5;  // call rel32
        else if (op == 0xFF && next >= 0xD0 && next <= 0xD7)
            at += 2;  // call r32
        else if ((op == 0x8B && (next == 0xFF || next == 0xEC)) || (op == 0x89 && next == 0xE5))
            at += 2;  // mov edi, edi; mov ebp, esp
        else if (op == 0x55 || op == 0x90)
            at += 1;  // push ebp; nop
        else
            return;
    }
    if (at != code.size())
        return;
    frame->exportName = nearest->name.empty() ? "#" + std::to_string(nearest->ordinal) : nearest->name;
    frame->exportOffset = frame->offset - nearest->rva;
}

}  // namespace

std::string StackFrame::Text() const {
    if (!module)
        return HexText(address);
    std::string name = FileNameOf(module->path);
    std::string text = name + "+" + HexText(offset);
    if (!exportName.empty())
        text += " (" + name + "!" + exportName + "+" + HexText(exportOffset) + ")";
    return text;
}

const ModuleFiles::File* ModuleFiles::Get(const std::string& path) {
    auto it = files_.find(path);
    if (it == files_.end()) {
        auto file = std::make_unique<File>();
        uint64_t size = 0;
        std::string problem;
        // A module past 1 GiB is not read for its unwind data.
        file->readable = ReadFileStart(FromUtf8(path), 1ull << 30, &file->bytes, &size, &problem) &&
                         size == file->bytes.size() && size > 0;
        if (file->readable) {
            file->pe = ParsePe(file->bytes, kPeExports | kPeFunctions);
            file->readable = file->pe.kind == PeKind::Image;
        }
        it = files_.emplace(path, std::move(file)).first;
    }
    return it->second->readable ? it->second.get() : nullptr;
}

StackWalk WalkStack(const Registers& start, const std::vector<WalkModule>& modules, uint64_t stackStart,
                    const std::string& stack, ModuleFiles* files, size_t maxFrames) {
    StackWalk walk;
    Memory memory(stackStart, stack);
    Registers regs = start;
    for (size_t n = 0; n < maxFrames && regs.rip; n++) {
        StackFrame frame;
        frame.address = regs.rip;
        frame.module = ModuleAt(modules, regs.rip);
        // A caller's frame is named by its call, one byte before where it
        // returns to: the call may be a function's last instruction.
        uint64_t lookup = n == 0 ? regs.rip : regs.rip - 1;
        const ModuleFiles::File* file = nullptr;
        if (frame.module) {
            frame.offset = regs.rip - frame.module->base;
            file = files->Get(frame.module->path);
            NameFrame(file, &frame, static_cast<uint32_t>(lookup - frame.module->base));
        }
        walk.frames.push_back(frame);
        if (!frame.module) {
            walk.stopped = "the address " + HexText(regs.rip) + " is in no module";
            break;
        }
        if (!file) {
            walk.stopped = "the file of " + FileNameOf(frame.module->path) + " cannot be read";
            break;
        }
        uint32_t rva = static_cast<uint32_t>(lookup - frame.module->base);
        const PeFunctionEntry* function = file->pe.FunctionAt(rva);
        uint64_t callerSp = regs.gpr[4];
        bool machineFrame = false;
        if (!function) {
            // A leaf function: no prolog, the return address on top.
            if (file->pe.functions.empty()) {
                walk.stopped = FileNameOf(frame.module->path) + " has no unwind data";
                break;
            }
        } else {
            uint32_t unwind = function->unwind;
            // An entry may point at another entry rather than at unwind data.
            if (unwind & 1) {
                std::string entry = ImageBytes(file->bytes, file->pe, unwind & ~1u, 12);
                if (entry.size() == 12)
                    memcpy(&unwind, entry.data() + 8, 4);
            }
            if (!ApplyUnwindInfo(*file, unwind, rva - function->begin, false, memory, &regs, &machineFrame, 0)) {
                walk.stopped = "the unwind data of " + FileNameOf(frame.module->path) + " or the stack cannot be read";
                break;
            }
        }
        if (!machineFrame) {
            uint64_t returnAddress = 0;
            if (!memory.Read(regs.gpr[4], &returnAddress)) {
                walk.stopped = "the stack the dump holds ends";
                break;
            }
            regs.rip = returnAddress;
            regs.gpr[4] += 8;
        }
        // Each caller's frame lies above its callee's; anything else is a
        // damaged stack, which would loop.
        if (regs.gpr[4] <= callerSp && !machineFrame) {
            walk.stopped = "the stack goes backwards";
            break;
        }
    }
    return walk;
}

StackWalk WalkStackX86(const Registers& start, const std::vector<WalkModule>& modules, uint64_t stackStart,
                       const std::string& stack, ModuleFiles* files, size_t maxFrames) {
    StackWalk walk;
    Memory memory(stackStart, stack);
    auto push = [&](uint64_t address) {
        StackFrame frame;
        frame.address = address;
        frame.module = ModuleAt(modules, address);
        if (frame.module) {
            frame.offset = address - frame.module->base;
            if (const ModuleFiles::File* file = X86File(files, frame.module))
                NameFrameX86(*file, &frame);
        }
        walk.frames.push_back(frame);
    };
    uint64_t eip = start.rip & 0xFFFFFFFF;
    uint64_t esp = start.gpr[4] & 0xFFFFFFFF;
    uint64_t ebp = start.gpr[5] & 0xFFFFFFFF;
    if (!eip || !maxFrames)
        return walk;
    push(eip);
    const WalkModule* module = walk.frames.back().module;
    if (!module) {
        walk.stopped = "the address " + HexText(eip) + " is in no module";
        return walk;
    }
    const ModuleFiles::File* file = files->Get(module->path);
    if (!file) {
        walk.stopped = "the file of " + FileNameOf(module->path) + " cannot be read";
        return walk;
    }
    if (file->pe.machine != kMachineX86) {
        walk.stopped = "the file of " + FileNameOf(module->path) + " is no x86 image";
        return walk;
    }
    uint64_t top = 0;
    CallSite call;
    if (memory.Read32(esp, &top) && IsReturnAddress(modules, files, top, &call) &&
        FrameZeroIsFrameless(*file, *module, eip, call)) {
        push(top);
        esp += 4;
    }
    while (walk.frames.size() < maxFrames) {
        // The outermost frame's saved ebp is zero: the chain's end.
        if (!ebp)
            break;
        if (ebp < esp) {
            walk.stopped = "the frame pointer " + HexText(ebp) + " lies below the last frame";
            break;
        }
        // Frames are pushed in 4-byte slots: another ebp is not a frame's.
        if (ebp & 3) {
            walk.stopped = "the frame pointer " + HexText(ebp) + " is not aligned as a frame is";
            break;
        }
        uint64_t saved = 0, returnAddress = 0;
        if (!memory.Read32(ebp, &saved) || !memory.Read32(ebp + 4, &returnAddress)) {
            walk.stopped = "the frame pointer " + HexText(ebp) + " lies outside the stack the dump holds";
            break;
        }
        if (!IsReturnAddress(modules, files, returnAddress, &call)) {
            walk.stopped = "the frame at " + HexText(ebp) + " returns to " + HexText(returnAddress) +
                           ", which no call in a module's code returns to";
            break;
        }
        push(returnAddress);
        esp = ebp + 8;
        ebp = saved;
    }
    return walk;
}

}  // namespace host
