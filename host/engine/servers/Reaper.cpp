#include "host/engine/servers/Reaper.h"

#include "host/engine/failures/ExitCode.h"

namespace host {

namespace {

// The exit code the pool gives a server it ends itself.
constexpr UINT kEndedByPool = 0xE0DE;

}  // namespace

void ServerFate::Then(std::function<void(const ServerEnd&)> next) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!known_) {
        waiting_.push_back(std::move(next));
        return;
    }
    ServerEnd end = end_;
    lock.unlock();
    next(end);
}

void ServerFate::Resolve(const ServerEnd& end) {
    std::vector<std::function<void(const ServerEnd&)>> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        known_ = true;
        end_ = end;
        waiting.swap(waiting_);
    }
    for (auto& next : waiting)
        next(end);
}

Reaper::Reaper(std::wstring dumpFolder) : dumpFolder_(std::move(dumpFolder)) {
    wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    idle_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    thread_ = std::thread([this] { Run(); });
}

Reaper::~Reaper() {
    Drain();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    SetEvent(wake_);
    thread_.join();
    CloseHandle(wake_);
    CloseHandle(idle_);
}

std::shared_ptr<ServerFate> Reaper::Retire(std::unique_ptr<PooledServer> server, Leave leave) {
    auto fate = std::make_shared<ServerFate>();
    Leaving leaving;
    leaving.fate = fate;
    uint64_t now = GetTickCount64();
    if (leave == Leave::Close) {
        server->process().CloseInput();
        leaving.endBy = now + kCloseGraceMs;
    } else if (leave == Leave::Crash) {
        leaving.endBy = now + kCrashGraceMs;
    } else {
        server->process().Terminate(kEndedByPool);
        leaving.endedByUs = true;
        leaving.endBy = now;
    }
    leaving.server = std::move(server);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (hurry_ && !leaving.endedByUs) {
            leaving.server->process().Terminate(kEndedByPool);
            leaving.endedByUs = true;
        }
        leaving_.push_back(std::move(leaving));
        ResetEvent(idle_);
    }
    SetEvent(wake_);
    return fate;
}

void Reaper::Drain() {
    WaitForSingleObject(idle_, INFINITE);
}

void Reaper::Hurry() {
    std::lock_guard<std::mutex> lock(mutex_);
    hurry_ = true;
    for (Leaving& leaving : leaving_) {
        if (!leaving.endedByUs) {
            leaving.server->process().Terminate(kEndedByPool);
            leaving.endedByUs = true;
        }
    }
}

void Reaper::Finish(Leaving* leaving) {
    ServerEnd end;
    DWORD code = 0;
    if (!leaving->endedByUs && leaving->server->process().HasExited(&code))
        end.exitCode = code;
    if (!dumpFolder_.empty())
        end.dump = leaving->server->CollectDumps(dumpFolder_);
    end.fault = FaultOfDeadServer(end.dump, end.exitCode, leaving->server->process().mainThreadId());
    leaving->server.reset();
    leaving->fate->Resolve(end);
}

void Reaper::Run() {
    for (;;) {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD count = 0;
        handles[count++] = wake_;
        uint64_t soonest = 0;
        bool unwatched = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (quit_ && leaving_.empty())
                return;
            for (Leaving& leaving : leaving_) {
                ServerProcess& process = leaving.server->process();
                process.DiscardOutput();
                HANDLE watch[] = {process.process(), process.outputEvent(), process.pluginOutputEvent()};
                if (count + 3 > MAXIMUM_WAIT_OBJECTS) {
                    unwatched = true;
                } else {
                    for (HANDLE handle : watch)
                        if (handle)
                            handles[count++] = handle;
                }
                if (!soonest || leaving.endBy < soonest)
                    soonest = leaving.endBy;
            }
        }
        DWORD wait = INFINITE;
        if (soonest) {
            uint64_t now = GetTickCount64();
            wait = soonest > now ? static_cast<DWORD>(soonest - now) : 0;
        }
        // Servers beyond what one wait can watch are looked at this often.
        if (unwatched && wait > 100)
            wait = 100;
        WaitForMultipleObjects(count, handles, FALSE, wait);

        // Ends what overstayed, then takes every server that has ended.
        std::vector<Leaving> ended;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            uint64_t now = GetTickCount64();
            for (size_t i = 0; i < leaving_.size();) {
                Leaving& leaving = leaving_[i];
                if (!leaving.endedByUs && now >= leaving.endBy) {
                    leaving.server->process().Terminate(kEndedByPool);
                    leaving.endedByUs = true;
                }
                if (WaitForSingleObject(leaving.server->process().process(), 0) == WAIT_OBJECT_0) {
                    ended.push_back(std::move(leaving));
                    leaving_.erase(leaving_.begin() + static_cast<ptrdiff_t>(i));
                } else {
                    i++;
                }
            }
        }
        for (Leaving& leaving : ended)
            Finish(&leaving);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (leaving_.empty())
                SetEvent(idle_);
        }
    }
}

}  // namespace host
