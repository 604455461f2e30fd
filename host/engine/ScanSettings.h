#pragma once

#include <string>
#include <vector>

#include "host/engine/Scanner.h"

namespace host {

// A scan's options as people and hosts give them: plugin-scan's long
// options, and the keys of the options object of scanengine_create (the
// same names in camelCase). Each starts at the command's default; one
// conversion makes the engine's ScanOptions of them, so that the command
// and the DLL cannot drift apart.
struct ScanSettings {
    std::vector<std::string> inputs;  // UTF-8 files, folders and FILE>ID requests
    std::string out = "plugins.json";
    int jobs = 0;                     // 0: one per logical processor
    double timeout = 60;              // seconds, for each plug-in
    std::string dumpFolder;           // empty: "dumps" beside the results file
    bool rescan = false;
    bool retryFailed = false;
    int recycleAfter = 200;
    unsigned memoryLimit = 1024;      // MiB; 0: none
    std::string server;               // empty: ScanServer.exe beside the engine
    std::string server32;             // empty: ScanServer32.exe beside the x64 server
    std::string dialogs = "answer";   // answer, wait or fail
    double grace = 2;                 // seconds
    std::string formats = "vst2,vst3,clap";  // the formats folders are searched for
};

// The ranges the command and the options object accept.
constexpr int kMaxJobs = 64;
constexpr double kMinTimeout = 0.1, kMaxTimeout = 86400;
constexpr int kMaxRecycleAfter = 1000000;
constexpr double kMaxGrace = 600;

// Reads an options object: every key optional, none unknown, each of its
// type and range. False with the reason when the text is not such an object.
bool ReadScanSettings(const std::string& json, ScanSettings* settings, std::string* error);

// The engine's options: paths made full (relative ones against the current
// folder), seconds and MiB in the engine's units, the defaults filled in.
ScanOptions ToScanOptions(const ScanSettings& settings);

}  // namespace host
