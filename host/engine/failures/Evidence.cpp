#include "host/engine/failures/Evidence.h"

#include "host/engine/plan/Discovery.h"
#include "host/engine/failures/DumpReader.h"
#include "host/engine/failures/ExitCode.h"
#include "host/engine/failures/PeFile.h"
#include "host/engine/plan/ScanPlan.h"
#include "host/engine/util/Text.h"

namespace host {

namespace {

// A path as requests and dumps both may write it: a long one carries the
// "\\?\" prefix in a request, not always in a dump's module list.
std::string PlainPath(const std::string& path) {
    return path.rfind("\\\\?\\", 0) == 0 && path.rfind("\\\\?\\UNC\\", 0) != 0 ? path.substr(4) : path;
}

// Whether the module at path is the plug-in file's code: the file itself,
// or for a VST3 bundle folder a binary inside it.
bool SameFile(const std::string& path, const std::string& plugin) {
    std::string file = PlainPath(path), inside = PlainPath(plugin) + "\\Contents\\";
    return SamePath(file, PlainPath(plugin)) ||
           (file.size() > inside.size() && SamePath(file.substr(0, inside.size()), inside));
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return text;
}

// Where some code was: a plug-in file's, a module's, and how it is known.
struct CodeRange {
    std::string path;
    uint64_t base = 0;
    uint64_t size = 0;
    const char* how = "";  // "lies in", "lies in the unloaded", "lies where ... had been loaded"
    bool Holds(uint64_t address) const { return address >= base && address - base < size; }
};

// The ranges loads name, each sized by its file's image size; a file that
// cannot be read leaves its loads out.
std::vector<CodeRange> LoadedRanges(const std::vector<PluginLoad>& loads) {
    std::vector<CodeRange> ranges;
    std::vector<std::pair<std::string, uint32_t>> sizes;
    for (const PluginLoad& load : loads) {
        uint32_t size = 0;
        bool known = false;
        for (const auto& read : sizes)
            if (read.first == load.path) {
                size = read.second;
                known = true;
            }
        if (!known) {
            // A bundle's code is its binary's, which the server chose as
            // the scanner's discovery does.
            std::wstring file = FromUtf8(PlainPath(load.path));
            DWORD attributes = GetFileAttributesW(file.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
                file = ReadBundleLayout(file).binary;
            PeFile pe = ReadPe(file, kPeHeaders);
            size = pe.kind == PeKind::Image ? pe.imageSize : 0;
            sizes.push_back({load.path, size});
        }
        if (size)
            ranges.push_back({load.path, load.base, size, "lies where it had been loaded"});
    }
    return ranges;
}

// Every range the evidence knows of: the dump's modules first (they hold
// what was there at the fault), then its unloaded ones, then the loads.
std::vector<CodeRange> KnownRanges(const DumpContents& dump, const std::vector<PluginLoad>& loads) {
    std::vector<CodeRange> ranges;
    for (const DumpModule& module : dump.modules)
        ranges.push_back({module.path, module.base, module.size, "lies in its code"});
    for (const DumpModule& module : dump.unloadedModules)
        ranges.push_back({module.path, module.base, module.size, "lies in its code, unloaded by then"});
    for (CodeRange& range : LoadedRanges(loads))
        ranges.push_back(range);
    return ranges;
}

}  // namespace

std::string PluginNamedByDump(const std::string& dump, const std::vector<PluginLoad>& loads,
                              const std::vector<std::string>& candidates, std::string* how) {
    DumpContents contents;
    std::string error;
    if (dump.empty() || candidates.empty() || !ReadDump(FromUtf8(dump), &contents, &error) ||
        !contents.hasException)
        return std::string();
    std::vector<CodeRange> ranges = KnownRanges(contents, loads);
    std::vector<uint64_t> frames = FaultFrames(contents);
    for (size_t i = 0; i < frames.size(); i++) {
        // The first range holding the address says whose code it is: a
        // loaded module there wins over a plug-in that was there before.
        const CodeRange* holder = nullptr;
        for (const CodeRange& range : ranges)
            if (!holder && range.Holds(frames[i]))
                holder = &range;
        if (!holder)
            continue;
        for (const std::string& candidate : candidates) {
            if (!SameFile(holder->path, candidate))
                continue;
            *how = (i == 0 ? "the fault at " : "a caller of the fault at ") + HexText(frames[i]) + " " +
                   holder->how + ", " + FileNameOf(candidate) + "+" + HexText(frames[i] - holder->base);
            return candidate;
        }
    }
    return std::string();
}

DeathMark MarkOfDeath(const std::string& dump, std::optional<uint32_t> exitCode,
                      const std::vector<PluginLoad>& loads) {
    DeathMark mark;
    mark.exitCode = exitCode;
    DumpContents contents;
    std::string error;
    if (dump.empty() || !ReadDump(FromUtf8(dump), &contents, &error) || !contents.hasException)
        return mark;
    mark.dump = true;
    mark.code = contents.exceptionCode;
    mark.offset = contents.exceptionAddress;
    for (const CodeRange& range : KnownRanges(contents, loads)) {
        if (range.Holds(contents.exceptionAddress)) {
            mark.module = Lower(FileNameOf(range.path));
            mark.offset = contents.exceptionAddress - range.base;
            break;
        }
    }
    return mark;
}

bool SameDeath(const DeathMark& a, const DeathMark& b) {
    if (a.dump != b.dump)
        return false;
    if (!a.dump)
        return a.exitCode == b.exitCode;
    return a.code == b.code && a.module == b.module && a.offset == b.offset;
}

std::string DeathText(const DeathMark& mark) {
    if (!mark.dump)
        return (mark.exitCode ? "exit code " + ExitCodeText(*mark.exitCode) : std::string("no exit code")) +
               " without a crash dump";
    std::string name = ExceptionName(mark.code);
    if (name.empty())
        name = "exception " + HexText(mark.code);
    return name + (mark.module.empty() ? " at " + HexText(mark.offset) + ", in no module"
                                       : " in " + mark.module + "+" + HexText(mark.offset));
}

}  // namespace host
