#pragma once

#include <deque>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "host/engine/servers/Pool.h"

namespace host {

class PendingRecord;

// One lane of the pool: a thread that takes plug-ins off the pool's list
// and scans each with the server it holds, starting a fresh server whenever
// the last one died, hung, answered out of step, or has served its time.
// It holds servers of each architecture its plug-ins need, x64 and x86:
// those of the plug-in in hand in server_ and spares_, the others aside.
class Lane {
public:
    Lane(Pool* pool, int index);
    void Run();

private:
    enum class Outcome { Answered, TimedOut, Refused, Died, Stopped };

    // Puts the servers of the plug-in's architecture in hand.
    void UseServersFor(Machine machine);
    const ServerSettings& Settings() const;
    bool EnsureServer();
    void TakeServer(std::unique_ptr<PooledServer> server);
    // Starts servers into spares_ until it holds count, each on a thread
    // of its own: creating a process takes Wine some 25 ms, which the
    // lane's next request need not wait for.
    void LaunchSpares(size_t count);
    // The next spare once its process exists; null when it could not be
    // created.
    std::unique_ptr<PooledServer> TakeSpare();
    size_t SparesWanted() const;
    std::shared_ptr<ServerFate> RetireServer(Reaper::Leave leave);
    void RememberAnswered(const std::string& request);
    // Dumps the hung server before it is ended, into the record.
    void DumpHang(ScanResult* result);
    void RetireIfWorn();
    // Ends the servers in hand at the end of the lane's work.
    void RetireAtEnd();
    Outcome Scan(const std::string& request, ScanResult* result,
                 const std::shared_ptr<PendingRecord>& pending);
    void ReportIncident(const std::shared_ptr<ServerFate>& fate, const std::string& during,
                        const std::vector<std::string>& suspects, const std::vector<PluginLoad>& loads,
                        const std::string& reason);

    Pool* pool_;
    int index_;
    std::unique_ptr<PooledServer> server_;
    // Started ahead, to take over from server_.
    using Spare = std::future<std::unique_ptr<PooledServer>>;
    std::deque<Spare> spares_;
    bool deathSeen_ = false;          // a server of this lane died, hung or was refused
    Machine machine_ = Machine::X64;  // the architecture of server_ and spares_
    ServerSettings settings_[2];      // x64, x86
    // The other architecture's servers, while they wait for its plug-ins.
    std::unique_ptr<PooledServer> asideServer_;
    std::deque<Spare> asideSpares_;
};

}  // namespace host
