#include "host/engine/plan/ScanPlan.h"

#include <windows.h>

#include <unordered_map>

#include "host/engine/util/Text.h"

namespace host {

namespace {

bool SameWidePath(const std::wstring& a, const std::wstring& b) {
    // Ignoring case maps each UTF-16 unit to one unit, so lengths must agree.
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The invariant upper case is the key under which paths meet in an index;
// SameWidePath has the last word, so a character that the two tables case
// differently can only cost a match, never make a false one.
std::wstring FoldedPath(const std::wstring& path) {
    if (path.empty())
        return path;
    std::wstring folded(path.size(), L'\0');
    int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.data(),
                               static_cast<int>(path.size()), &folded[0],
                               static_cast<int>(folded.size()), nullptr, nullptr, 0);
    if (length <= 0)
        return path;
    folded.resize(static_cast<size_t>(length));
    return folded;
}

// Finds paths among many in time independent of how many there are.
class PathIndex {
public:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    void Add(const std::wstring& path, size_t index) {
        entries_.emplace(FoldedPath(path), Entry{path, index});
    }

    // The lowest index added under a path SameWidePath calls equal, or kNone.
    size_t Find(const std::wstring& path) const {
        size_t found = kNone;
        auto range = entries_.equal_range(FoldedPath(path));
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second.index < found && SameWidePath(it->second.path, path))
                found = it->second.index;
        }
        return found;
    }

private:
    struct Entry {
        std::wstring path;
        size_t index;
    };
    std::unordered_multimap<std::wstring, Entry> entries_;
};

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool SameStamp(const std::optional<FileStamp>& cached, const std::optional<FileTimes>& found) {
    if (!cached || !found)
        return !cached && !found;
    return cached->size == found->size && cached->modified == FileTimeText(found->modified);
}

PlanStep StepFor(const FoundPlugin& found, const PluginRecord* cached, const PlanOptions& options) {
    if (!cached || options.rescan || cached->size != found.size ||
        cached->modified != FileTimeText(found.modified) || !SameStamp(cached->moduleInfo, found.moduleInfo))
        return PlanStep::Scan;
    // A record without a format comes from a scanner that read every file
    // as VST 2: a module of another format was never really scanned.
    if (cached->format.empty() && found.format != PluginFormat::Vst2)
        return PlanStep::Scan;
    switch (cached->status) {
    case Status::Ok:
        return PlanStep::FromCache;
    case Status::Failed:
        return options.retryFailed ? PlanStep::Scan : PlanStep::FromCache;
    case Status::Crashed:
    case Status::TimedOut:
    case Status::Ended:
        return options.retryFailed ? PlanStep::Scan : PlanStep::Skip;
    }
    return PlanStep::Scan;
}

// The file a record stands for: a sub-plug-in's "PATH>ID" names PATH, since
// ">" cannot occur in a Windows file name.
std::wstring FileOfRecord(const std::string& path) {
    return FromUtf8(path.substr(0, path.find('>')));
}

bool InsideFolder(const std::wstring& file, const PathIndex& folders) {
    for (size_t at = file.size(); at-- > 0;) {
        if (at > 0 && IsSeparator(file[at]) && folders.Find(file.substr(0, at)) != PathIndex::kNone)
            return true;
    }
    return false;
}

// Only a file the system says is not there is gone: a file that cannot be
// reached for another reason (a share that stopped answering, access denied)
// keeps its record.
bool IsGone(const std::wstring& file) {
    if (GetFileAttributesW(RequestPath(file).c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::vector<PlannedPlugin> PlanScan(const std::vector<FoundPlugin>& found, const Results& cache,
                                    const PlanOptions& options) {
    PathIndex records;
    for (size_t i = 0; i < cache.plugins.size(); i++)
        records.Add(FromUtf8(cache.plugins[i].path), i);

    std::vector<PlannedPlugin> plan;
    plan.reserve(found.size());
    for (const FoundPlugin& plugin : found) {
        PlannedPlugin planned;
        planned.found = plugin;
        size_t index = records.Find(plugin.path);
        if (index != PathIndex::kNone)
            planned.cached = &cache.plugins[index];
        planned.step = StepFor(plugin, planned.cached, options);
        plan.push_back(std::move(planned));
    }
    return plan;
}

std::vector<PluginRecord> KeptRecords(const Results& cache, const Discovery& discovery,
                                      int* dropped) {
    PathIndex found;
    for (size_t i = 0; i < discovery.plugins.size(); i++)
        found.Add(discovery.plugins[i].path, i);
    PathIndex folders;
    for (size_t i = 0; i < discovery.folders.size(); i++) {
        std::wstring folder = discovery.folders[i];
        while (!folder.empty() && IsSeparator(folder.back()))
            folder.pop_back();
        folders.Add(folder, i);
    }

    std::vector<PluginRecord> kept;
    int gone = 0;
    for (const PluginRecord& record : cache.plugins) {
        if (found.Find(FromUtf8(record.path)) != PathIndex::kNone)
            continue;
        std::wstring file = FileOfRecord(record.path);
        if (InsideFolder(file, folders) && IsGone(file)) {
            gone++;
            continue;
        }
        kept.push_back(record);
    }
    if (dropped)
        *dropped = gone;
    return kept;
}

bool SamePath(const std::string& a, const std::string& b) {
    return SameWidePath(FromUtf8(a), FromUtf8(b));
}

}  // namespace host
