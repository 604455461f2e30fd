#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/engine/servers/DialogWatch.h"
#include "host/engine/servers/MachineType.h"
#include "host/engine/servers/ServerProcess.h"
#include "host/engine/wire/Answer.h"

namespace host {

// How the pool starts its servers.
struct ServerSettings {
    std::wstring serverPath;
    std::wstring serverPath32;  // the x86 server, for 32-bit plug-ins; empty: none
    std::wstring dumpFolder;  // empty: no dumps
    uint64_t hostWindow = 0;
    DWORD startTimeoutMs = 30000;  // from start to the first prompt
};

// The settings that start a server of the plug-in's architecture: the x86
// server for an x86 plug-in, the x64 server for everything else.
ServerSettings SettingsForMachine(const ServerSettings& settings, Machine machine);

// How one request to a server went.
struct Exchange {
    enum class End {
        Answered,   // a whole answer, report and prompt
        Died,       // the server ended, or began to write a crash dump
        TimedOut,   // no whole answer before the deadline
        OutOfStep,  // the server wrote what it never writes: it cannot be trusted
        Stopped,    // the scan was stopped
        Refused,    // a plug-in opened a window, which the dialog policy does not allow
    };
    End end = End::Died;
    Answer answer;
    std::string pluginOutput;    // what plug-ins printed meanwhile (the last part)
    uint64_t outputDropped = 0;  // bytes of it not kept
    int64_t durationMs = 0;
    std::vector<Dialog> dialogs;  // windows plug-ins opened meanwhile
    std::string refusal;          // why, when Refused
    size_t listed = 0;            // sub-plug-ins a shell listed, each id once
    bool listingCut = false;      // TimedOut at the listing's ceiling, not for want of progress
};

// How a request's time limit is counted: from the request's start, and
// while a shell lists its sub-plug-ins, from the last one it listed for the
// first time (the server logs "Found shell" for each) or the last line of
// the report that lists them, so that a long listing that keeps coming
// finishes. A listing never runs past ceiling (a
// GetTickCount64 value), so that one without end still ends. Other lines
// are no progress: a hung plug-in whose thread keeps calling the host keeps
// the server logging too.
struct TimeLimit {
    uint64_t deadline = 0;  // GetTickCount64 value
    DWORD listingStepMs = 0;  // 0: a listing does not move the deadline
    uint64_t ceiling = 0;
};

// A listing may take this many time limits in all.
constexpr DWORD kListingCeilingLimits = 10;

// The limit of a request that starts now and may take limitMs, or
// kListingCeilingLimits times that while a shell keeps listing.
TimeLimit LimitFromNow(DWORD limitMs);

// One server as the pool runs it: started with a dump folder of its own, so
// that a dump appearing there tells at once that this server is crashing
// (writing a dump takes seconds under Wine), whose dump it is, and lets the
// pool go on without waiting for the end.
class PooledServer {
public:
    PooledServer() = default;
    ~PooledServer();
    PooledServer(const PooledServer&) = delete;
    PooledServer& operator=(const PooledServer&) = delete;

    // Starts the server and reads its banner and first prompt. False with
    // *error saying why.
    bool Start(const ServerSettings& settings, std::string* error);
    // The two halves of Start, for a server started ahead of its use: a
    // server takes a while to come up, most of it its own start-up.
    bool Launch(const ServerSettings& settings, std::string* error);
    bool WaitReady(std::string* error);

    // Sends one request and reads its answer until the limit runs out or
    // until stop is signalled, dealing with the
    // windows plug-ins open meanwhile by the policy.
    Exchange Ask(const std::string& request, TimeLimit limit, HANDLE stop,
                 DialogPolicy dialogs = DialogPolicy::Answer);

    // Waits up to ms for the server to die while it serves no request,
    // reading whatever its plug-ins' threads make it write meanwhile. True
    // when it died (or began to write a dump); stop ends the wait early.
    bool DiesWithin(DWORD ms, HANDLE stop);

    // A crash dump has appeared in this server's own dump folder.
    bool DumpAppeared();
    // Moves the dumps this server left into dumpFolder (a number added to a
    // name that is taken) and removes its own folder; the first dump's new
    // path, or empty.
    std::string CollectDumps(const std::wstring& dumpFolder);

    // The server's private memory now, in bytes; 0 when it cannot be read.
    uint64_t PrivateBytes() const;

    ServerProcess& process() { return process_; }
    // The plug-in files this server has scanned, in order: the suspects
    // when it dies.
    std::vector<std::string>& answered() { return answered_; }
    // Where it loaded each plug-in file it was sent, as its log told, in
    // order: the evidence that names a plug-in from an address its dump
    // places in no module.
    const std::vector<PluginLoad>& loads() const { return loads_; }
    int requests = 0;  // plug-ins (not sub-plug-ins) it has been sent

private:
    ServerProcess process_;
    std::wstring ownDumpFolder_;
    HANDLE dumpWatch_ = INVALID_HANDLE_VALUE;
    std::vector<std::string> answered_;
    std::vector<PluginLoad> loads_;
    uint64_t launchedAt_ = 0;
    DWORD startTimeoutMs_ = 30000;
};

}  // namespace host
