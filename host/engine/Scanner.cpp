#include "host/engine/Scanner.h"

#include <shlobj.h>

#include <algorithm>

#include "host/engine/Culprit.h"
#include "host/engine/Version.h"
#include "host/engine/failures/ExitCode.h"
#include "host/engine/plan/Discovery.h"
#include "host/engine/plan/ScanPlan.h"
#include "host/engine/records/ResultsFile.h"
#include "host/engine/servers/Pool.h"
#include "host/engine/servers/ServerProcess.h"
#include "host/engine/util/Text.h"

namespace host {

namespace {

constexpr DWORD kTickMs = 250;

std::string UtcNowText() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond);
    return text;
}

bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates the folder and any missing parents; true when it exists after.
bool MakeFolder(const std::wstring& path, DWORD* error) {
    if (IsFolder(path))
        return true;
    int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    *error = static_cast<DWORD>(result);
    return IsFolder(path);
}

void Convict(PluginRecord* record, const Conviction& conviction) {
    bool crashed = !conviction.dump.empty() || conviction.fault ||
                   (conviction.exitCode && *conviction.exitCode == 9);
    record->status = crashed ? Status::Crashed : Status::Ended;
    record->afterReport = true;
    if (crashed && conviction.dump.empty() && conviction.fault && conviction.exitCode)
        record->error = "it crashed the server (exit code " + ExitCodeText(*conviction.exitCode) + ", " +
                        conviction.fault->name + ") without a crash dump after its report went out";
    else if (crashed)
        record->error = "it crashed the server after its report went out";
    else if (conviction.exitCode)
        record->error = "it ended the server (exit code " + ExitCodeText(*conviction.exitCode) +
                        ") after its report went out";
    else
        record->error = "it stopped the server after its report went out";
    record->exitCode = conviction.exitCode;
    record->dump = conviction.dump;
    record->fault = conviction.fault;
}

// A crash or an end of its own request, twice, rather than one found later.
bool DiedItself(const ScanResult& result) {
    return !result.afterReport && (result.status == Status::Crashed || result.status == Status::Ended);
}

bool PathLess(const PluginRecord& a, const PluginRecord& b) {
    std::wstring wa = FromUtf8(a.path), wb = FromUtf8(b.path);
    return CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(),
                                static_cast<int>(wb.size()), TRUE) == CSTR_LESS_THAN;
}

}  // namespace

Scanner::Scanner(ScanOptions options)
    : options_(std::move(options)), stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

Scanner::~Scanner() {
    CloseHandle(stopEvent_);
}

void Scanner::Warn(const std::string& text) {
    if (onWarning)
        onWarning(text);
}

void Scanner::Stop() {
    stopRequested_ = true;
    SetEvent(stopEvent_);
}

bool Scanner::Run() {
    uint64_t startTick = GetTickCount64();
    results_ = Results{};
    scanned_.clear();
    progress_ = ScanProgress{};
    serversLaunched_ = 0;
    error_.clear();
    results_.run.started = UtcNowText();
    results_.run.version = kScannerVersion;

    if (options_.serverPath.empty())
        options_.serverPath = EngineFolder() + L"ScanServer.exe";
    if (GetFileAttributesW(options_.serverPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        error_ = "cannot find the scan server " + ToUtf8(options_.serverPath);
        return false;
    }
    std::wstring serverPath32 = options_.serverPath32;
    if (serverPath32.empty()) {
        serverPath32 = options_.serverPath.substr(0, options_.serverPath.find_last_of(L"\\/") + 1) +
                       L"ScanServer32.exe";
        if (GetFileAttributesW(serverPath32.c_str()) == INVALID_FILE_ATTRIBUTES)
            serverPath32.clear();
    } else if (GetFileAttributesW(serverPath32.c_str()) == INVALID_FILE_ATTRIBUTES) {
        error_ = "cannot find the x86 scan server " + ToUtf8(serverPath32);
        return false;
    }
    int jobs = options_.jobs;
    if (jobs <= 0) {
        SYSTEM_INFO system;
        GetNativeSystemInfo(&system);
        jobs = static_cast<int>(system.dwNumberOfProcessors);
    }

    std::wstring resultsPath = FullPath(options_.resultsPath);
    std::string problem;
    if (!CheckResultsWritable(resultsPath, &problem)) {
        error_ = problem;
        return false;
    }
    Results cache;
    std::string warning;
    if (!LoadResultsFile(resultsPath, &cache, &warning, &problem)) {
        error_ = problem;
        return false;
    }
    if (!warning.empty())
        Warn(warning);

    std::vector<std::wstring> inputs = options_.inputs;
    if (inputs.empty()) {
        inputs = StandardPluginFolders(options_.formats);
        if (inputs.empty())
            Warn("no standard plug-in folder exists on this machine");
    }
    Discovery discovery = DiscoverPlugins(inputs, options_.formats);
    for (const std::string& text : discovery.warnings)
        Warn(text);
    std::vector<PlannedPlugin> plan =
        PlanScan(discovery.plugins, cache, PlanOptions{options_.rescan, options_.retryFailed});
    int dropped = 0;
    std::vector<PluginRecord> kept = KeptRecords(cache, discovery, &dropped);

    std::wstring dumpFolder;
    if (!options_.dumpFolder.empty()) {
        dumpFolder = FullPath(options_.dumpFolder);
        DWORD code = 0;
        if (!MakeFolder(dumpFolder, &code)) {
            Warn("cannot create the dump folder " + ToUtf8(dumpFolder) + " (error " +
                 std::to_string(code) + "): scanning without crash dumps");
            dumpFolder.clear();
        }
    }

    std::vector<FoundPlugin> work;
    std::vector<size_t> planOfWork;
    for (size_t i = 0; i < plan.size(); i++) {
        if (plan[i].step == PlanStep::FromCache)
            progress_.fromCache++;
        else if (plan[i].step == PlanStep::Skip)
            progress_.skipped++;
        else {
            work.push_back(plan[i].found);
            planOfWork.push_back(i);
        }
    }
    progress_.total = static_cast<int>(work.size());
    if (onStart)
        onStart(progress_);
    // Where each plan item's record is in scanned_, once it is in.
    std::vector<size_t> scannedOfPlan(plan.size(), SIZE_MAX);
    int serversStarted = 0;

    // What the results file holds at any moment: the cache's records that
    // stay, each plug-in found with its new record, or with its old one
    // until the new one is in.
    auto assemble = [&] {
        std::vector<PluginRecord> plugins = kept;
        for (size_t i = 0; i < plan.size(); i++) {
            if (scannedOfPlan[i] != SIZE_MAX)
                plugins.push_back(scanned_[scannedOfPlan[i]]);
            else if (plan[i].cached)
                plugins.push_back(*plan[i].cached);
        }
        std::sort(plugins.begin(), plugins.end(), PathLess);
        results_.plugins = std::move(plugins);
        results_.run.seconds = (GetTickCount64() - startTick) / 1000.0;
        results_.run.scanned = static_cast<int>(scanned_.size());
        results_.run.fromCache = progress_.fromCache;
        results_.run.skipped = progress_.skipped;
        results_.run.stopped = stopRequested_;
        results_.run.servers = serversStarted;
    };
    auto save = [&] {
        assemble();
        std::string saveError;
        if (SaveResultsFile(resultsPath, results_, &saveError))
            return true;
        Warn(saveError);
        return false;
    };
    auto report = [&](const PluginRecord* finished) {
        progress_.finished = finished;
        UpdateEstimate(&progress_, (GetTickCount64() - startTick) / 1000.0);
        if (onProgress)
            onProgress(progress_);
        progress_.finished = nullptr;
    };

    PoolOptions poolOptions;
    poolOptions.server.serverPath = options_.serverPath;
    poolOptions.server.serverPath32 = serverPath32;
    poolOptions.server.dumpFolder = dumpFolder;
    poolOptions.server.hostWindow = options_.hostWindow;
    poolOptions.jobs = jobs;
    poolOptions.timeoutMs = options_.timeoutMs;
    poolOptions.recycleAfter = options_.recycleAfter < 1 ? 1 : options_.recycleAfter;
    poolOptions.memoryLimit = options_.memoryLimit;
    poolOptions.dialogs = options_.dialogs;
    Pool pool(poolOptions, work);
    pool.Start();

    // Turns a record that scanned cleanly into the crash it caused later;
    // once, though several incidents may name it.
    auto convict = [&](const Conviction& conviction) {
        for (size_t i = 0; i < plan.size(); i++) {
            if (scannedOfPlan[i] == SIZE_MAX || !SamePath(scanned_[scannedOfPlan[i]].path, conviction.culprit))
                continue;
            PluginRecord& record = scanned_[scannedOfPlan[i]];
            // A plug-in that died in its own request, twice, keeps that
            // account: an incident its dump also names adds nothing to it.
            if (record.afterReport || DiedItself(record))
                return;
            progress_.counts.Remove(record.status);
            Convict(&record, conviction);
            progress_.counts.Add(record.status);
            if (onRecord)
                onRecord(record);
            return;
        }
    };

    bool poolStopped = false;
    bool dirty = true;
    uint64_t lastSave = 0;
    uint64_t lastTick = GetTickCount64();
    for (bool done = false; !done;) {
        if (stopRequested_ && !poolStopped) {
            pool.Stop();
            poolStopped = true;
        }
        PoolEvent event;
        if (pool.NextEvent(&event, kTickMs)) {
            switch (event.kind) {
            case PoolEvent::Kind::Started:
                progress_.inFlight.push_back(ToUtf8(work[event.item].path));
                break;
            case PoolEvent::Kind::Finished: {
                auto at = std::find(progress_.inFlight.begin(), progress_.inFlight.end(),
                                    event.record.path);
                if (at != progress_.inFlight.end())
                    progress_.inFlight.erase(at);
                progress_.done++;
                scanned_.push_back(std::move(event.record));
                scannedOfPlan[planOfWork[event.item]] = scanned_.size() - 1;
                progress_.counts.Add(scanned_.back().status);
                if (onRecord)
                    onRecord(scanned_.back());
                // An incident may have named it before its record was in.
                for (const Incident& incident : results_.run.incidents)
                    if (!incident.culprit.empty() && SamePath(incident.culprit, scanned_.back().path))
                        convict({incident.culprit, incident.exitCode, incident.dump, incident.fault});
                dirty = true;
                report(&scanned_.back());
                break;
            }
            case PoolEvent::Kind::Incident:
                if (!event.incident.culprit.empty())
                    convict({event.incident.culprit, event.incident.exitCode, event.incident.dump,
                             event.incident.fault});
                results_.run.incidents.push_back(std::move(event.incident));
                if (onIncident)
                    onIncident(results_.run.incidents.back(), results_.run.incidents.size() - 1);
                dirty = true;
                break;
            case PoolEvent::Kind::Fatal:
                if (error_.empty())
                    error_ = event.text;
                break;
            case PoolEvent::Kind::Done:
                done = true;
                break;
            }
        }
        serversStarted = pool.serversStarted();
        serversLaunched_ = pool.serversLaunched();
        uint64_t now = GetTickCount64();
        if (now - lastTick >= kTickMs && !progress_.inFlight.empty()) {
            lastTick = now;
            report(nullptr);
        }
        if (dirty && now - lastSave >= options_.saveIntervalMs) {
            save();
            dirty = false;
            lastSave = now;
        }
    }
    // Incidents no dump explains: their culprits are looked for by scanning
    // their suspects again, each in fresh servers.
    CulpritSearch search;
    search.server = poolOptions.server;
    search.timeoutMs = options_.timeoutMs;
    search.graceMs = options_.graceMs;
    search.stop = stopEvent_;
    for (Incident& incident : results_.run.incidents) {
        if (!incident.culprit.empty() || incident.suspects.empty() || stopRequested_ || !error_.empty())
            continue;
        progress_.inFlight = {"looking for the culprit among " + std::to_string(incident.suspects.size()) +
                              " suspects"};
        report(nullptr);
        // A plug-in in flight that died again in a fresh server would die in
        // every trial, whoever caused the first death: it is not tried.
        search.tryDuring = true;
        std::string during = incident.during.substr(0, incident.during.find('>'));
        for (const PluginRecord& record : scanned_) {
            if (!during.empty() && SamePath(record.path, during)) {
                search.tryDuring = !DiedItself(record);
                for (const ShellRecord& shell : record.shells)
                    search.tryDuring = search.tryDuring && !DiedItself(shell);
            }
        }
        std::vector<Conviction> otherDeaths;
        Conviction conviction = FindCulprit(&incident, search, &otherDeaths);
        if (!conviction.culprit.empty()) {
            incident.culprit = conviction.culprit;
            convict(conviction);
        }
        // Those that crashed a server of their own otherwise are what they
        // are: plug-ins that crash their host after their report.
        for (const Conviction& other : otherDeaths)
            convict(other);
        if (onIncident)
            onIncident(incident, static_cast<size_t>(&incident - results_.run.incidents.data()));
        save();
    }
    progress_.inFlight.clear();
    if (dropped)
        Warn(std::to_string(dropped) + " plug-in" + (dropped == 1 ? " is" : "s are") +
             " gone from the folders scanned: " + (dropped == 1 ? "its record was" : "their records were") +
             " removed");
    if (!save() && error_.empty())
        error_ = "cannot save the results to " + ToUtf8(resultsPath);
    return error_.empty();
}

}  // namespace host
