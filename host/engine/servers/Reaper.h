#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/engine/records/Records.h"
#include "host/engine/servers/PooledServer.h"

namespace host {

// How a server that left the pool ended.
struct ServerEnd {
    std::optional<uint32_t> exitCode;  // none when the pool ended it itself
    std::string dump;                  // the crash dump it left, in the dump folder
    std::optional<Fault> fault;        // what that dump says, or else an exception exit code
};

// What will be known of a retired server once it has ended. Continuations
// given to Then run once, when the end is known: at once if it already is,
// otherwise on the reaper's thread.
class ServerFate {
public:
    void Then(std::function<void(const ServerEnd&)> next);
    void Resolve(const ServerEnd& end);

private:
    std::mutex mutex_;
    bool known_ = false;
    ServerEnd end_;
    std::vector<std::function<void(const ServerEnd&)>> waiting_;
};

// Waits, on a thread of its own, for the servers that left the pool to end,
// so that nobody scanning has to: a crashing server takes a while to write
// its dump, and under Wine even an orderly end can take two seconds.
class Reaper {
public:
    explicit Reaper(std::wstring dumpFolder);
    ~Reaper();
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;

    // How a server leaves the pool.
    enum class Leave {
        Close,  // its input is closed: it ends in order, or is ended after kCloseGraceMs
        Crash,  // it is writing a dump: it is waited for up to kCrashGraceMs
        End,    // the pool ends it at once (time-outs, servers out of step)
    };
    static constexpr DWORD kCloseGraceMs = 30000;
    static constexpr DWORD kCrashGraceMs = 120000;

    std::shared_ptr<ServerFate> Retire(std::unique_ptr<PooledServer> server, Leave leave);

    // Waits until every server retired so far has ended and its fate is
    // resolved.
    void Drain();

    // Ends every server still waited for, and every one retired from now on,
    // at once: the scan was stopped.
    void Hurry();

private:
    struct Leaving {
        std::unique_ptr<PooledServer> server;
        std::shared_ptr<ServerFate> fate;
        uint64_t endBy = 0;  // GetTickCount64 value after which it is ended
        bool endedByUs = false;
    };
    void Run();
    void Finish(Leaving* leaving);

    std::wstring dumpFolder_;
    std::mutex mutex_;
    std::vector<Leaving> leaving_;
    bool hurry_ = false;
    bool quit_ = false;
    HANDLE wake_ = nullptr;
    HANDLE idle_ = nullptr;  // set while nothing is waited for
    std::thread thread_;
};

}  // namespace host
