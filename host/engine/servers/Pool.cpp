#include "host/engine/servers/Pool.h"

#include "host/engine/servers/Lane.h"

namespace host {

Pool::Pool(PoolOptions options, std::vector<FoundPlugin> work)
    : options_(std::move(options)),
      work_(std::move(work)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      reaper_(options_.server.dumpFolder),
      eventsReady_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

Pool::~Pool() {
    Stop();
    for (std::thread& thread : threads_)
        thread.join();
    // Records and incidents still waiting for a server's end are posted from
    // the reaper's thread: it must be done before the events go.
    reaper_.Drain();
    CloseHandle(stop_);
    CloseHandle(eventsReady_);
}

void Pool::Start() {
    size_t jobs = options_.jobs < 1 ? 1 : static_cast<size_t>(options_.jobs);
    if (jobs > work_.size())
        jobs = work_.size();
    if (jobs == 0) {
        PoolEvent done;
        done.kind = PoolEvent::Kind::Done;
        Post(std::move(done));
        return;
    }
    lanesRunning_ = static_cast<int>(jobs);
    for (size_t i = 0; i < jobs; i++)
        lanes_.push_back(std::make_unique<Lane>(this, static_cast<int>(i)));
    for (size_t i = 0; i < jobs; i++)
        threads_.emplace_back([lane = lanes_[i].get()] { lane->Run(); });
}

void Pool::Stop() {
    SetEvent(stop_);
    reaper_.Hurry();
}

bool Pool::TakeWork(size_t* item) {
    if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0)
        return false;
    size_t next = nextWork_++;
    if (next >= work_.size())
        return false;
    *item = next;
    return true;
}

void Pool::LaneFinished() {
    if (--lanesRunning_ > 0)
        return;
    // The last lane out waits for the servers still ending, whose records
    // and incidents come before Done.
    reaper_.Drain();
    PoolEvent done;
    done.kind = PoolEvent::Kind::Done;
    Post(std::move(done));
}

void Pool::Post(PoolEvent event) {
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        events_.push_back(std::move(event));
    }
    SetEvent(eventsReady_);
}

bool Pool::NextEvent(PoolEvent* event, DWORD timeoutMs) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(eventsMutex_);
            if (!events_.empty()) {
                *event = std::move(events_.front());
                events_.pop_front();
                return true;
            }
        }
        if (WaitForSingleObject(eventsReady_, timeoutMs) != WAIT_OBJECT_0)
            return false;
    }
}

}  // namespace host
