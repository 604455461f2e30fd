// scanengine.dll: the engine behind the C interface of include/scanengine.h.
// Every entry catches what the engine could throw, so that no C++ exception
// reaches a caller of another compiler; handles are checked against the
// set of live scans, so that a stop racing a destroy finds nothing to stop
// rather than freed memory.
#include "include/scanengine.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "host/engine/Events.h"
#include "host/engine/ScanSettings.h"
#include "host/engine/Scanner.h"
#include "host/engine/records/Records.h"
#include "host/engine/records/ResultsFile.h"
#include "server/FaultGuard.h"

struct scanengine_scan {
    std::unique_ptr<host::Scanner> scanner;
    scanengine_event_fn callback = nullptr;
    void* user = nullptr;
    std::atomic<bool> ran{false};
    std::atomic<DWORD> runThread{0};
    HANDLE runEnded = nullptr;  // set when run returns
    bool destroyAfterRun = false;
    bool callbackFailed = false;
    std::string results;
    std::string error;

    ~scanengine_scan() {
        if (runEnded)
            CloseHandle(runEnded);
    }
};

namespace {

constexpr int kRanToEnd = 0;
constexpr int kStopped = 1;
constexpr int kCouldNotRun = 2;

std::mutex liveMutex;
std::set<scanengine_scan*>& Live() {
    static std::set<scanengine_scan*>* live = new std::set<scanengine_scan*>;  // lives with the DLL
    return *live;
}

bool IsLive(scanengine_scan* scan) {
    std::lock_guard<std::mutex> lock(liveMutex);
    return scan && Live().count(scan);
}

void CopyError(const std::string& text, char* error, size_t size) {
    if (!error || !size)
        return;
    size_t length = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(error, text.data(), length);
    error[length] = 0;
}

struct EventCall {
    scanengine_scan* scan;
    const char* json;
};

void CallCallback(void* context) {
    auto* call = static_cast<EventCall*>(context);
    call->scan->callback(call->json, call->scan->user);
}

// The host's callback runs inside the fault guard: an exception escaping
// it (a C++ throw of the host's compiler is a structured exception too)
// ends at the guard instead of unwinding through the engine or ending the
// host. The scan then stops, and no further event is sent.
void Deliver(scanengine_scan* scan, const std::string& line) {
    if (!scan->callback || scan->callbackFailed)
        return;
    EventCall call{scan, line.c_str()};
    if (!CallWithFaultGuard(CallCallback, &call)) {
        scan->callbackFailed = true;
        scan->scanner->Stop();
    }
}

int Run(scanengine_scan* scan) {
    host::EventStream stream([scan](const std::string& line) { Deliver(scan, line); });
    if (scan->callback)
        stream.Attach(scan->scanner.get());
    bool ran = scan->scanner->Run();
    if (scan->callback)
        stream.End(*scan->scanner);
    scan->results = host::ResultsText(scan->scanner->results());
    if (scan->callbackFailed) {
        scan->error = "the event callback raised an exception: the scan was stopped there, and what "
                      "it had done was saved";
        return kCouldNotRun;
    }
    if (!ran) {
        scan->error = scan->scanner->error();
        return kCouldNotRun;
    }
    return scan->scanner->stopped() ? kStopped : kRanToEnd;
}

}  // namespace

extern "C" {

scanengine_scan* scanengine_create(const char* options_json, char* error, size_t error_size) {
    CopyError("", error, error_size);
    try {
        host::ScanSettings settings;
        std::string problem;
        std::string json = options_json && *options_json ? options_json : "{}";
        if (!host::ReadScanSettings(json, &settings, &problem)) {
            CopyError(problem, error, error_size);
            return nullptr;
        }
        auto scan = std::make_unique<scanengine_scan>();
        scan->scanner = std::make_unique<host::Scanner>(host::ToScanOptions(settings));
        scan->runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!scan->runEnded) {
            CopyError("cannot create an event for the scan", error, error_size);
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(liveMutex);
        Live().insert(scan.get());
        return scan.release();
    } catch (const std::exception& e) {
        CopyError(std::string("cannot make the scan: ") + e.what(), error, error_size);
    } catch (...) {
        CopyError("cannot make the scan", error, error_size);
    }
    return nullptr;
}

void scanengine_set_events(scanengine_scan* scan, scanengine_event_fn callback, void* user) {
    if (!IsLive(scan) || scan->ran)
        return;
    scan->callback = callback;
    scan->user = user;
}

int scanengine_run(scanengine_scan* scan) {
    {
        // Under the lock, so that a destroy on another thread sees either a
        // scan that never ran or one it must wait for.
        std::lock_guard<std::mutex> lock(liveMutex);
        if (!scan || !Live().count(scan))
            return kCouldNotRun;
        if (scan->ran.exchange(true)) {
            scan->error = "this scan has run already: make another with scanengine_create";
            return kCouldNotRun;
        }
        scan->runThread = GetCurrentThreadId();
    }
    scan->error.clear();
    int code = kCouldNotRun;
    try {
        code = Run(scan);
    } catch (const std::exception& e) {
        scan->error = std::string("the scan failed: ") + e.what();
    } catch (...) {
        scan->error = "the scan failed";
    }
    scan->runThread = 0;
    SetEvent(scan->runEnded);
    if (scan->destroyAfterRun)
        delete scan;
    return code;
}

void scanengine_stop(scanengine_scan* scan) {
    std::lock_guard<std::mutex> lock(liveMutex);
    if (scan && Live().count(scan))
        scan->scanner->Stop();
}

const char* scanengine_results(scanengine_scan* scan) {
    return IsLive(scan) ? scan->results.c_str() : "";
}

const char* scanengine_error(scanengine_scan* scan) {
    return IsLive(scan) ? scan->error.c_str() : "not a live scan";
}

void scanengine_destroy(scanengine_scan* scan) {
    {
        std::lock_guard<std::mutex> lock(liveMutex);
        if (!scan || !Live().erase(scan))
            return;
        scan->scanner->Stop();
    }
    // From the callback, run is below on this very thread: it frees the
    // scan as it returns.
    if (scan->runThread == GetCurrentThreadId()) {
        scan->destroyAfterRun = true;
        return;
    }
    if (scan->ran)
        WaitForSingleObject(scan->runEnded, INFINITE);
    delete scan;
}

int scanengine_version(void) {
    return host::kResultsFormat;
}

}  // extern "C"
