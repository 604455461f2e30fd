#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/engine/plan/Discovery.h"
#include "host/engine/records/Records.h"
#include "host/engine/servers/PooledServer.h"
#include "host/engine/servers/Reaper.h"

namespace host {

struct PoolOptions {
    ServerSettings server;
    int jobs = 1;                  // servers at once
    DWORD timeoutMs = 60000;       // for each request
    int recycleAfter = 200;        // plug-ins a server scans before a fresh one takes over
    uint64_t memoryLimit = 0;      // private bytes above which a server is replaced (0: none)
    DialogPolicy dialogs = DialogPolicy::Answer;  // windows plug-ins open
    int spareServers = 2;          // servers each lane keeps started ahead once one of its servers died
};

// What the pool tells whoever runs it, in the order it happened.
struct PoolEvent {
    enum class Kind {
        Started,   // a lane began on work item `item`
        Finished,  // the record of work item `item` is complete
        Incident,  // a server died when no request explains it
        Fatal,     // no server could be started: the pool stops
        Done,      // every lane has finished and every server has ended
    };
    Kind kind = Kind::Done;
    size_t item = 0;
    PluginRecord record;
    Incident incident;
    std::string text;
};

class Lane;

// A pool of scan servers working through a list of plug-ins: `jobs` lanes,
// each a thread that feeds one server at a time, one request at a time.
// A server that dies, hangs or answers out of step is replaced at once; the
// reaper waits for its end in the background.
class Pool {
public:
    Pool(PoolOptions options, std::vector<FoundPlugin> work);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    void Start();

    // Takes the next event, waiting up to timeoutMs for one; false when
    // none came. After Done, no further event comes.
    bool NextEvent(PoolEvent* event, DWORD timeoutMs);

    // Ends the work: servers are ended at once, the requests in flight are
    // given up and get no record. Done follows.
    void Stop();

    // Servers the lanes have taken into use so far.
    int serversStarted() const { return serversStarted_; }
    // Server processes the lanes have started so far, spares included.
    int serversLaunched() const { return serversLaunched_; }

    // Queues an event for NextEvent; any thread may post.
    void Post(PoolEvent event);

private:
    friend class Lane;
    // The next work item for a lane, or false when there is none left.
    bool TakeWork(size_t* item);
    void LaneFinished();

    PoolOptions options_;
    std::vector<FoundPlugin> work_;
    std::atomic<size_t> nextWork_{0};
    HANDLE stop_ = nullptr;
    Reaper reaper_;
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::vector<std::thread> threads_;
    std::atomic<int> lanesRunning_{0};
    std::atomic<int> serversStarted_{0};
    std::atomic<int> serversLaunched_{0};

    std::mutex eventsMutex_;
    std::deque<PoolEvent> events_;
    HANDLE eventsReady_ = nullptr;
};

}  // namespace host
