#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "host/engine/Pool.h"

namespace host {

class PendingRecord;

// One lane of the pool: a thread that takes plug-ins off the pool's list
// and scans each with the server it holds, starting a fresh server whenever
// the last one died, hung, answered out of step, or has served its time.
class Lane {
public:
    Lane(Pool* pool, int index) : pool_(pool), index_(index) {}
    void Run();

private:
    enum class Outcome { Answered, TimedOut, Refused, Died, Stopped };

    bool EnsureServer();
    void TakeServer(std::unique_ptr<PooledServer> server);
    std::shared_ptr<ServerFate> RetireServer(Reaper::Leave leave);
    void RememberAnswered(const std::string& request);
    // Dumps the hung server before it is ended, into the record.
    void DumpHang(ScanResult* result);
    void RetireIfWorn();
    Outcome Scan(const std::string& request, ScanResult* result,
                 const std::shared_ptr<PendingRecord>& pending);
    void ReportIncident(const std::shared_ptr<ServerFate>& fate, const std::string& during,
                        const std::vector<std::string>& suspects, const std::string& reason);

    Pool* pool_;
    int index_;
    std::unique_ptr<PooledServer> server_;
    std::deque<std::unique_ptr<PooledServer>> spares_;  // started ahead, to take over from server_
};

}  // namespace host
