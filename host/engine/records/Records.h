#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/engine/wire/Report.h"

namespace host {

using Json = nlohmann::ordered_json;

// How the scan of one plug-in ended.
enum class Status {
    Ok,        // the server reported it, without an error
    Failed,    // the server reported it with an error (not a plug-in, no entry point, ...)
    Crashed,   // the server died of a fault while scanning it, twice
    TimedOut,  // the server did not answer within the time limit
    Ended,     // the server ended some other way while scanning it, twice
};

// "ok", "failed", "crashed", "timed out", "ended".
const char* StatusName(Status status);
bool StatusFromName(const std::string& name, Status* status);

// Where a crash or a hang happened, as the server's dump tells it.
struct Fault {
    std::string kind;            // "crash" or "hang"
    uint32_t code = 0;           // the exception code; 0 for a hang
    std::string name;            // its usual name: "access violation", "stack overflow", ...
    std::string access;          // an access violation's "reading", "writing" or "executing" and its address
    uint64_t address = 0;        // the faulting instruction, or where the hung thread was
    std::string module;          // the file name of the module holding address; empty when none does
    uint64_t offset = 0;         // address's offset inside that module
    std::string unloadedModule;  // when no loaded module holds address: an unloaded one that did
    bool serverThread = false;   // on the server's own thread rather than one a plug-in started
    std::string text;            // all of it in one line, as people read it
    bool threadKnown = true;     // false when only the server's exit code tells of the fault
    // The thread's stack as walked with the modules' unwind data, nearest
    // frame first ("Foo.dll+0x1A2B"); at most 32 frames, empty when not walked.
    std::vector<std::string> stack;
};

// A window a plug-in opened while it was being scanned.
struct Dialog {
    std::string title;
    std::vector<std::string> texts;  // the texts inside it, top to bottom
    std::string answer;              // what the scanner did about it
};

// What the scan of one plug-in, or of one of a shell's sub-plug-ins, found.
struct ScanResult {
    Status status = Status::Ok;
    // Decoded from the report's bytes as people read them (UTF-8 when they
    // are valid UTF-8, otherwise Windows-1252); empty without a report.
    std::string name;
    std::string vendor;
    std::string product;
    std::string error;                  // the server's error text, or the scanner's word
    std::optional<uint32_t> exitCode;   // the server's exit code when it ended during the request
    std::string dump;                   // the crash dump the server left, if any
    int64_t durationMs = 0;
    std::optional<Fault> fault;         // what the dump of a crash or a hang says
    bool afterReport = false;           // it crashed its server after its report went out
    std::vector<Dialog> dialogs;        // windows it opened
    std::string output;                 // what it printed (the last 4 KiB)
    std::vector<std::string> log;       // the server's last log lines, when the scan failed
    std::optional<Report> report;       // the report as the server sent it
    // For a failure: "not a DLL", "wrong architecture", "missing dependency",
    // "missing function", "DLL initialisation failed", "not a VST 2
    // plug-in" or "scan failed"; empty (null in the file) otherwise.
    std::string reason;
    std::vector<std::string> missing;   // the DLLs, or "DLL!function", found missing
    // "VST2", "VST3" or "CLAP": the format it was scanned as, or the one a
    // failed scan found the file to be of ("CLAP" for a .dll that exports
    // clap_entry and no VST 2 entry point). Empty in files of older versions.
    std::string format;
};

// One plug-in a VST3 or CLAP module offers a host: a VST3 audio module
// class, a CLAP plug-in descriptor.
struct PluginClass {
    std::string id;        // VST3: the class id, 32 uppercase hexadecimal digits; CLAP: the plug-in's id
    std::string name;
    std::string vendor;
    std::string version;   // as the plug-in gives it, maybe ""
    std::string category;  // VST3: its sub-categories ("Fx|Delay"); CLAP: its features joined with "|"
    // The channels of the main audio bus in and out, and whether note or
    // event ports in and out exist; unknown when no instance could be made.
    std::optional<int32_t> inputs;
    std::optional<int32_t> outputs;
    std::optional<bool> midiIn;
    std::optional<bool> midiOut;
    // The class ids, as 32 hexadecimal digits, of the plug-ins it replaces,
    // from its bundle's moduleinfo.json.
    std::vector<std::string> replaces;
    std::string sdkVersion;     // VST3
    int32_t classFlags = 0;     // VST3
    int32_t cardinality = 0;    // VST3
    std::string description;    // CLAP
    std::string url;            // CLAP
    std::string manualUrl;      // CLAP
    std::string supportUrl;     // CLAP
};

// A file's size and last write, as the cache compares them.
struct FileStamp {
    uint64_t size = 0;
    std::string modified;  // as FileTimeText writes it
};

// One sub-plug-in of a shell, scanned by itself.
struct ShellRecord : ScanResult {
    std::string id;  // eight hexadecimal digits
};

// One plug-in file. A request written as PATH>ID is one record too, with
// that text as its path.
struct PluginRecord : ScanResult {
    std::string path;
    uint64_t size = 0;
    std::string modified;  // last write, UTC: "2026-12-07T11:39:48.1234567Z"
    // The file's processor from its PE header, which chose the server:
    // "x64", "x86", another ("arm64", "0x1234") for a file no server loads;
    // "x64" for a file with no PE header, which the x64 server tries.
    std::string platform;
    std::vector<ShellRecord> shells;
    // A VST3 or CLAP module's plug-ins, in the order its factory gave them.
    std::vector<PluginClass> classes;
    // A VST3 bundle's moduleinfo.json, when it has one: part of what the
    // cache compares, besides the binary's size and time above.
    std::optional<FileStamp> moduleInfo;
};

// Where one server loaded one plug-in file: the base its log gave as it
// looked for the entry point. The code there stays the plug-in's evidence
// after the file is unloaded, when a dump lists no module at that address.
struct PluginLoad {
    std::string path;
    uint64_t base = 0;
};

// A server that died when no request explains it: between requests, or in
// a request that then scanned cleanly in a fresh server.
struct Incident {
    std::optional<uint32_t> exitCode;
    std::string dump;
    std::string during;                 // the request in flight, empty between requests
    std::vector<std::string> suspects;  // what that server had scanned before
    std::string reason;                 // what was seen, as people read it
    std::optional<Fault> fault;         // what its dump says
    std::string culprit;                // the plug-in found to have caused it, if one was
    std::vector<std::string> tried;     // how the culprit was looked for, step by step
    // Where that server had loaded the suspects and the plug-in in flight.
    // Not kept in the results file: only this run's search reads it.
    std::vector<PluginLoad> loads;
};

// What one run did.
struct RunInfo {
    std::string started;  // UTC: "2026-12-07T11:39:48Z"
    std::string version;  // the scanner's version that wrote the run; empty in older files
    double seconds = 0;
    int scanned = 0;    // plug-ins scanned in this run
    int fromCache = 0;  // taken unchanged from the results file
    int skipped = 0;    // earlier crashes, time-outs and ends not tried again
    bool stopped = false;  // the run was stopped before it finished
    int servers = 0;       // servers started to scan
    std::vector<Incident> incidents;
};

// The results file: {"format": 1, "run": {...}, "plugins": [...]}.
constexpr int kResultsFormat = 1;
struct Results {
    RunInfo run;
    std::vector<PluginRecord> plugins;
};

// The plug-ins a module's report describes: VST3 audio module classes (the
// controllers and other classes stay in the report), all CLAP descriptors;
// none for a VST 2 report.
std::vector<PluginClass> ClassesOf(const Report& report);

// The JSON form, with keys in a fixed order. A report keeps the server's
// keys and types: "id" stays eight hexadecimal digits as text.
Json ToJson(const Report& report);
Json ToJson(const PluginRecord& record);
Json ToJson(const Incident& incident);
Json ToJson(const RunInfo& run);
Json ToJson(const Results& results);

// Reads the JSON form back. Never throws: false, with a reason naming the
// key, when a key is missing or has the wrong type, or the format is not
// kResultsFormat.
bool FromJson(const Json& json, Report* report, std::string* error);
bool FromJson(const Json& json, PluginRecord* record, std::string* error);
bool FromJson(const Json& json, Results* results, std::string* error);

// A FILETIME as UTC text with all its precision, as records keep last-write
// times: "2026-12-07T11:39:48.1234567Z".
std::string FileTimeText(const FILETIME& time);

}  // namespace host
