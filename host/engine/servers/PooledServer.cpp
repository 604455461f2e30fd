#include "host/engine/servers/PooledServer.h"

#include <psapi.h>

#include <cstring>
#include <unordered_set>

namespace host {

namespace {

std::vector<std::wstring> DumpFilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*.mdmp").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// A name in folder that is not taken: name, or name with "-2", "-3", ...
// before its extension.
std::wstring FreeName(const std::wstring& folder, const std::wstring& name) {
    size_t dot = name.rfind(L'.');
    std::wstring stem = dot == std::wstring::npos ? name : name.substr(0, dot);
    std::wstring extension = dot == std::wstring::npos ? L"" : name.substr(dot);
    std::wstring path = folder + L"\\" + name;
    for (int n = 2; GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; n++)
        path = folder + L"\\" + stem + L"-" + std::to_wstring(n) + extension;
    return path;
}

// The lines the server logs as it looks for a plug-in's entry point, with
// the module's base: "info:Looking for entry point in module 00007FF6A1B20000",
// and the same for a VST3 or CLAP module's.
const char* const kEntryLookLines[] = {"info:Looking for entry point in module ",
                                       "info:Looking for VST3 entry points in module ",
                                       "info:Looking for clap_entry in module "};

// A digit of the upper-case hexadecimal the server writes; -1 for others.
int UpperHexDigit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The id of a sub-plug-in a shell lists: "info:Found shell: 0000162E - Name".
constexpr char kFoundShellLine[] = "info:Found shell: ";

bool ReadListedId(const std::string& line, uint32_t* id) {
    constexpr size_t prefix = sizeof kFoundShellLine - 1;
    if (line.compare(0, prefix, kFoundShellLine) != 0 || line.size() < prefix + 8)
        return false;
    uint32_t value = 0;
    for (size_t i = prefix; i < prefix + 8; i++) {
        int digit = UpperHexDigit(line[i]);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    *id = value;
    return true;
}

bool ReadLoadBase(const std::string& line, uint64_t* base) {
    size_t prefix = 0;
    for (const char* look : kEntryLookLines)
        if (line.compare(0, strlen(look), look) == 0)
            prefix = strlen(look);
    if (!prefix)
        return false;
    uint64_t value = 0;
    size_t digits = 0;
    for (size_t i = prefix; i < line.size() && line[i] != '\n'; i++, digits++) {
        int digit = UpperHexDigit(line[i]);
        if (digit < 0 || digits == 16)
            return false;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    *base = value;
    return digits > 0 && value != 0;
}

}  // namespace

PooledServer::~PooledServer() {
    if (dumpWatch_ != INVALID_HANDLE_VALUE)
        FindCloseChangeNotification(dumpWatch_);
}

ServerSettings SettingsForMachine(const ServerSettings& settings, Machine machine) {
    ServerSettings chosen = settings;
    if (machine == Machine::X86)
        chosen.serverPath = settings.serverPath32;
    return chosen;
}

bool PooledServer::Start(const ServerSettings& settings, std::string* error) {
    return Launch(settings, error) && WaitReady(error);
}

bool PooledServer::Launch(const ServerSettings& settings, std::string* error) {
    startTimeoutMs_ = settings.startTimeoutMs;
    LaunchOptions options;
    options.serverPath = settings.serverPath;
    options.hostWindow = settings.hostWindow;
    options.separatePluginOutput = true;
    if (!settings.dumpFolder.empty()) {
        static LONG serial = 0;
        ownDumpFolder_ = settings.dumpFolder + L"\\.server-" + std::to_wstring(GetCurrentProcessId()) +
                         L"-" + std::to_wstring(InterlockedIncrement(&serial));
        // Without a folder of its own the server still runs, without dumps.
        if (CreateDirectoryW(ownDumpFolder_.c_str(), nullptr)) {
            options.dumpFolder = ownDumpFolder_;
            dumpWatch_ = FindFirstChangeNotificationW(ownDumpFolder_.c_str(), FALSE,
                                                      FILE_NOTIFY_CHANGE_FILE_NAME);
        } else {
            ownDumpFolder_.clear();
        }
    }
    if (!process_.Start(options)) {
        *error = "cannot start " + ToUtf8(settings.serverPath) + " (error " +
                 std::to_string(process_.LastError()) + ")";
        return false;
    }
    launchedAt_ = GetTickCount64();
    return true;
}

bool PooledServer::WaitReady(std::string* error) {
    uint64_t deadline = launchedAt_ + startTimeoutMs_;
    std::string line;
    bool banner = false;
    for (;;) {
        LineWait wait = process_.NextLine(&line, deadline);
        if (wait != LineWait::Line) {
            *error = wait == LineWait::TimedOut ? "the server did not prompt within " +
                                                      std::to_string(startTimeoutMs_ / 1000) + " s"
                                                : "the server ended before its first prompt";
            process_.Terminate(1);
            return false;
        }
        if (line == "ready:\n")
            break;
        banner = banner || line.rfind("info:", 0) == 0;
    }
    if (!banner) {
        *error = "the server prompted without its banner";
        process_.Terminate(1);
        return false;
    }
    return true;
}

bool PooledServer::DumpAppeared() {
    return !ownDumpFolder_.empty() && !DumpFilesIn(ownDumpFolder_).empty();
}

std::string PooledServer::CollectDumps(const std::wstring& dumpFolder) {
    if (ownDumpFolder_.empty())
        return std::string();
    std::string first;
    for (const std::wstring& name : DumpFilesIn(ownDumpFolder_)) {
        std::wstring from = ownDumpFolder_ + L"\\" + name;
        std::wstring to = FreeName(dumpFolder, name);
        bool moved = MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE;
        if (first.empty())
            first = ToUtf8(moved ? to : from);
    }
    RemoveDirectoryW(ownDumpFolder_.c_str());
    return first;
}

bool PooledServer::DiesWithin(DWORD ms, HANDLE stop) {
    uint64_t deadline = GetTickCount64() + ms;
    HANDLE wake[2] = {stop, dumpWatch_};
    DWORD wakeCount = dumpWatch_ != INVALID_HANDLE_VALUE ? 2 : 1;
    std::string line;
    for (;;) {
        DWORD woken = 0;
        LineWait wait = process_.NextLine(&line, deadline, wake, wakeCount, &woken);
        if (wait == LineWait::Ended)
            return true;
        if (wait == LineWait::TimedOut)
            return DumpAppeared();
        if (wait == LineWait::Woken) {
            if (woken == 0)
                return false;
            if (DumpAppeared())
                return true;
            FindNextChangeNotification(dumpWatch_);
        }
    }
}

uint64_t PooledServer::PrivateBytes() const {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!process_.process() || !GetProcessMemoryInfo(process_.process(), &counters, sizeof(counters)))
        return 0;
    // The commit charge: the same as PrivateUsage on Windows, and the one
    // of the two that Wine fills in (PrivateUsage stays 0 there).
    return counters.PagefileUsage;
}

TimeLimit LimitFromNow(DWORD limitMs) {
    uint64_t now = GetTickCount64();
    return {now + limitMs, limitMs, now + uint64_t{limitMs} * kListingCeilingLimits};
}

Exchange PooledServer::Ask(const std::string& request, TimeLimit limit, HANDLE stop,
                           DialogPolicy dialogs) {
    uint64_t deadline = limit.deadline;
    // Ids the listing has named: a shell that names one id again and again
    // makes no progress.
    std::unordered_set<uint32_t> listed;
    Exchange exchange;
    uint64_t started = GetTickCount64();
    AnswerReader reader(request);
    DialogWatch watch(process_.processId(), dialogs);
    auto finish = [&](Exchange::End end) {
        exchange.end = end;
        exchange.answer = std::move(reader.answer());
        exchange.pluginOutput = process_.TakePluginOutput(&exchange.outputDropped);
        exchange.durationMs = static_cast<int64_t>(GetTickCount64() - started);
        exchange.dialogs = watch.dialogs();
        exchange.refusal = watch.failure();
        exchange.listed = listed.size();
        exchange.listingCut = end == Exchange::End::TimedOut && limit.listingStepMs && deadline == limit.ceiling;
        return exchange;
    };
    // Refused before the deadline, the write met an input that the server
    // (or a plug-in in it) has closed: the server is gone or going.
    if (!process_.WriteLine(request, deadline))
        return finish(GetTickCount64() < deadline || DumpAppeared() ? Exchange::End::Died
                                                                    : Exchange::End::TimedOut);
    HANDLE wake[2];
    DWORD wakeCount = 0;
    wake[wakeCount++] = stop;
    if (dumpWatch_ != INVALID_HANDLE_VALUE)
        wake[wakeCount++] = dumpWatch_;
    std::string line;
    // Windows are looked for only while an answer keeps the scan waiting:
    // a plug-in that answers at once costs nothing.
    uint64_t nextLook = started + DialogWatch::kIntervalMs;
    for (;;) {
        DWORD woken = 0;
        LineWait wait = process_.NextLine(&line, nextLook < deadline ? nextLook : deadline, wake,
                                          wakeCount, &woken);
        if (wait == LineWait::Line) {
            uint32_t id = 0;
            // The report of a shell that listed sub-plug-ins holds a line for
            // each, flushed one by one as the listing was: it is progress too.
            bool progress = ReadListedId(line, &id) ? listed.insert(id).second
                                                    : !listed.empty() && line.compare(0, 2, ">:") == 0;
            if (limit.listingStepMs && progress) {
                uint64_t moved = GetTickCount64() + limit.listingStepMs;
                if (moved > limit.ceiling)
                    moved = limit.ceiling;
                if (moved > deadline)
                    deadline = moved;
            }
            uint64_t base = 0;
            if (ReadLoadBase(line, &base)) {
                std::string file = request.substr(0, request.find('>'));
                bool known = false;
                for (const PluginLoad& load : loads_)
                    known = known || (load.base == base && load.path == file);
                if (!known)
                    loads_.push_back({file, base});
            }
            AnswerReader::Step step = reader.Take(line);
            if (step == AnswerReader::Step::Done)
                return finish(Exchange::End::Answered);
            if (step == AnswerReader::Step::OutOfStep)
                return finish(DumpAppeared() ? Exchange::End::Died : Exchange::End::OutOfStep);
            continue;
        }
        if (wait == LineWait::Ended)
            return finish(Exchange::End::Died);
        if (wait == LineWait::TimedOut) {
            uint64_t now = GetTickCount64();
            if (now < deadline) {
                nextLook = now + DialogWatch::kIntervalMs;
                if (!watch.Look())
                    return finish(Exchange::End::Refused);
                continue;
            }
            return finish(DumpAppeared() ? Exchange::End::Died : Exchange::End::TimedOut);
        }
        if (woken == 0)
            return finish(Exchange::End::Stopped);
        if (DumpAppeared())
            return finish(Exchange::End::Died);
        FindNextChangeNotification(dumpWatch_);
    }
}

}  // namespace host
