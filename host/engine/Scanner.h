#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/engine/plan/Discovery.h"
#include "host/engine/records/Progress.h"
#include "host/engine/records/Records.h"
#include "host/engine/servers/DialogWatch.h"

namespace host {

struct ScanOptions {
    // Files, folders and "PATH>ID" requests; none: the machine's standard
    // folders of the formats.
    std::vector<std::wstring> inputs;
    // The formats the folders are searched for; files named by themselves
    // are scanned whatever their format.
    FormatSet formats = kAllFormats;
    std::wstring resultsPath;    // the results file, which is also the cache
    std::wstring dumpFolder;     // where crash dumps go; empty: no dumps
    std::wstring serverPath;     // empty: ScanServer.exe beside this program
    // The x86 server, for 32-bit plug-ins; empty: ScanServer32.exe beside
    // the x64 server, when it is there (without it they fail with a word).
    std::wstring serverPath32;
    int jobs = 0;                // servers at once; 0: one per logical processor
    DWORD timeoutMs = 60000;     // for each request
    int recycleAfter = 200;      // plug-ins a server scans before a fresh one takes over
    uint64_t memoryLimit = 1024ull * 1024 * 1024;  // a server's private bytes; 0: no limit
    bool rescan = false;         // ignore the cache
    bool retryFailed = false;    // scan again what did not end "ok"
    uint64_t hostWindow = 0;     // the host's window, for placing the servers' badge
    DWORD saveIntervalMs = 2000; // how often the results file is saved during a scan
    DWORD graceMs = 2000;        // when looking for an incident's culprit: the wait after each report
    DialogPolicy dialogs = DialogPolicy::Answer;  // windows plug-ins open while they are scanned
};

// One scan: plug-ins found, the cache consulted, the rest scanned by a pool
// of servers, the results file kept up to date. Run it on one thread; Stop
// may be called from any other (or from a progress callback).
class Scanner {
public:
    explicit Scanner(ScanOptions options);
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Called on Run's thread, for each finished plug-in and a few times a
    // second while plug-ins are in flight.
    std::function<void(const ScanProgress&)> onProgress;
    // Called on Run's thread for what goes wrong without stopping the scan.
    std::function<void(const std::string&)> onWarning;
    // Called on Run's thread once the plan is made (total, fromCache and
    // skipped known), before the first plug-in is scanned.
    std::function<void(const ScanProgress&)> onStart;
    // Called on Run's thread when a plug-in file's record is final, and
    // again whenever it changes later (a culprit found after its scan).
    std::function<void(const PluginRecord&)> onRecord;
    // Called on Run's thread with an incident and its place in
    // results().run.incidents, when it comes and again when its culprit
    // search ends.
    std::function<void(const Incident&, size_t index)> onIncident;

    // Scans and saves. False when the scan could not run or had to stop
    // (the results file cannot be written, no server can be started), with
    // error() saying why; what was learned until then is saved.
    bool Run();

    // Ends the scan as soon as possible: servers are ended, the plug-ins in
    // flight get no record, and what is done is saved.
    void Stop();

    const Results& results() const { return results_; }
    // The records scanned in this run, in the order they finished.
    const std::vector<PluginRecord>& scanned() const { return scanned_; }
    const ScanProgress& progress() const { return progress_; }
    const std::string& error() const { return error_; }
    // Server processes the last run started, spares included (the results
    // file's "servers" counts those taken into use).
    int serversLaunched() const { return serversLaunched_; }
    bool stopped() const { return stopRequested_; }

private:
    void Warn(const std::string& text);

    ScanOptions options_;
    Results results_;
    std::vector<PluginRecord> scanned_;
    ScanProgress progress_;
    std::string error_;
    int serversLaunched_ = 0;
    std::atomic<bool> stopRequested_{false};
    HANDLE stopEvent_;
};

}  // namespace host
