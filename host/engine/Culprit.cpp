#include "host/engine/Culprit.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "host/engine/failures/Evidence.h"
#include "host/engine/failures/ExitCode.h"
#include "host/engine/plan/Discovery.h"
#include "host/engine/util/Text.h"

namespace host {

namespace {

// How a server that died in a trial is waited for: writing its dump may
// take a while.
constexpr DWORD kDumpWaitMs = 120000;

// How long the server rests between the requests that keep it busy
// through a grace period: short next to the timers plug-ins leave behind.
constexpr DWORD kBusyPaceMs = 20;

// How long a server that stopped answering in a grace is given to end.
constexpr DWORD kEndingWaitMs = 2000;

struct Trial {
    int diedAfter = -1;  // index of the plug-in in whose scan or grace the server died
    bool ran = false;    // false: no server could be started, or the search was stopped
    Conviction evidence;
    DeathMark death;     // how its server died, when it did
    std::string failure;  // why it did not run, when no server could be started
};

enum class Grace { Survived, Died, Stuck };

// Waits out a grace period the way the real run went on after a report:
// the server is sent requests it answers at once (a file that does not
// exist), so that it reads requests and pumps its window messages as it
// does while it scans later plug-ins. A window timer or a posted message
// that an unloaded plug-in left behind goes off only then; an idle server
// sits in a read and runs none of them.
Grace KeepBusy(PooledServer* server, const std::string& busyRequest, DWORD graceMs,
               const CulpritSearch& search) {
    uint64_t end = GetTickCount64() + graceMs;
    for (;;) {
        if (server->DiesWithin(kBusyPaceMs, search.stop))
            return Grace::Died;
        if (WaitForSingleObject(search.stop, 0) == WAIT_OBJECT_0)
            return Grace::Stuck;
        if (GetTickCount64() >= end)
            return Grace::Survived;
        Exchange exchange = server->Ask(busyRequest, LimitFromNow(search.timeoutMs), search.stop);
        if (exchange.end == Exchange::End::Died)
            return Grace::Died;
        // No answer, and the server ends meanwhile: its input closed under
        // it, it read what it could and went. That is its death, not a hang.
        if (exchange.end != Exchange::End::Answered)
            return server->DiesWithin(kEndingWaitMs, search.stop) ? Grace::Died : Grace::Stuck;
    }
}

// A request for a file beside the server that is not there, by its full
// path: a bare name would send the loader searching the system's folders.
std::string BusyRequest(const CulpritSearch& search) {
    std::wstring server = FullPath(search.server.serverPath);
    std::wstring folder = server.substr(0, server.find_last_of(L"\\/") + 1);
    return ToUtf8(RequestPath(folder + L"no-such-plug-in.dll"));
}

// Scans the plug-ins one after the other in one fresh server, keeping it
// busy for the grace period after each report.
Trial RunTrial(const std::vector<std::string>& plugins, const CulpritSearch& search, DWORD graceMs) {
    Trial trial;
    std::string error;
    Machine machine = plugins.empty() ? Machine::X64 : ReadMachineType(FromUtf8(plugins[0])).machine;
    ServerSettings settings = SettingsForMachine(search.server, machine);
    // A start can fail on a machine that is busy for a moment; a trial
    // that never ran must not pass for one the crash did not come back in.
    std::unique_ptr<PooledServer> server;
    for (int attempt = 0; attempt < 2 && !server; attempt++) {
        auto started = std::make_unique<PooledServer>();
        if (started->Start(settings, &error))
            server = std::move(started);
        else if (!search.server.dumpFolder.empty())
            started->CollectDumps(search.server.dumpFolder);
    }
    if (!server) {
        trial.failure = "no server could be started for the trial: " + error;
        return trial;
    }
    trial.ran = true;
    std::string busyRequest = BusyRequest(search);
    for (size_t i = 0; i < plugins.size() && trial.diedAfter < 0; i++) {
        Exchange exchange =
            server->Ask(ToUtf8(RequestPath(FromUtf8(plugins[i]))), LimitFromNow(search.timeoutMs), search.stop);
        if (exchange.end == Exchange::End::Stopped) {
            trial.ran = false;
            break;
        }
        // Only a death tells anything; a plug-in that hangs or fails here
        // is no evidence of a late fault.
        Grace grace = exchange.end == Exchange::End::Died       ? Grace::Died
                      : exchange.end == Exchange::End::Answered ? KeepBusy(server.get(), busyRequest, graceMs, search)
                                                                : Grace::Stuck;
        if (grace == Grace::Died) {
            trial.diedAfter = static_cast<int>(i);
        } else if (grace == Grace::Stuck) {
            trial.ran = trial.ran && WaitForSingleObject(search.stop, 0) != WAIT_OBJECT_0;
            break;
        }
    }
    if (trial.diedAfter >= 0) {
        ServerProcess& process = server->process();
        DWORD code = 0;
        if (process.WaitForExit(kDumpWaitMs, &code))
            trial.evidence.exitCode = code;
        if (!search.server.dumpFolder.empty())
            trial.evidence.dump = server->CollectDumps(search.server.dumpFolder);
        trial.evidence.fault =
            FaultOfDeadServer(trial.evidence.dump, trial.evidence.exitCode, process.mainThreadId());
        trial.death = MarkOfDeath(trial.evidence.dump, trial.evidence.exitCode, server->loads());
    }
    server->process().Kill();
    if (!search.server.dumpFolder.empty() && trial.diedAfter < 0)
        server->CollectDumps(search.server.dumpFolder);
    return trial;
}

}  // namespace

Conviction FindCulprit(Incident* incident, const CulpritSearch& search, std::vector<Conviction>* otherDeaths) {
    std::vector<std::string> left = incident->suspects;
    // The plug-in in flight when the server died scanned cleanly in a fresh
    // server, but its own thread may have faulted before its answer ended:
    // it is the last to have been loaded, so it goes last.
    std::string during = incident->during.substr(0, incident->during.find('>'));
    if (search.tryDuring && !during.empty() && (left.empty() || left.back() != during))
        left.push_back(during);
    // Only a death like the incident's convicts: a suspect with a fault of
    // its own would otherwise take the blame for whatever killed the server.
    DeathMark wanted = MarkOfDeath(incident->dump, incident->exitCode, incident->loads);
    int round = 0;
    uint64_t stepStarted = GetTickCount64();
    auto note = [&](const std::string& text) {
        char seconds[32];
        snprintf(seconds, sizeof seconds, " (%.1f s)", (GetTickCount64() - stepStarted) / 1000.0);
        incident->tried.push_back("round " + std::to_string(round) + ": " + text + seconds);
        stepStarted = GetTickCount64();
    };
    enum class Alone { Convicted, DiedOtherwise, Survived, NotRun };
    // Tries one plug-in alone, with twice the grace: the conviction, when
    // its server dies the incident's death.
    auto alone = [&](const std::string& plugin, Conviction* conviction) {
        Trial trial = RunTrial({plugin}, search, search.graceMs * 2);
        if (!trial.ran) {
            if (!trial.failure.empty())
                note(trial.failure);
            return Alone::NotRun;
        }
        if (trial.diedAfter != 0) {
            note(FileNameOf(plugin) + " scanned alone without a crash");
            return Alone::Survived;
        }
        *conviction = trial.evidence;
        conviction->culprit = plugin;
        if (SameDeath(wanted, trial.death)) {
            note(FileNameOf(plugin) + " crashed a server of its own after its report, as the incident's died (" +
                 DeathText(trial.death) + ")");
            return Alone::Convicted;
        }
        note(FileNameOf(plugin) + " crashed a server of its own after its report, but otherwise (" +
             DeathText(trial.death) + ", the incident's: " + DeathText(wanted) + "): not this death's culprit");
        if (otherDeaths)
            otherDeaths->push_back(*conviction);
        return Alone::DiedOtherwise;
    };
    while (!left.empty()) {
        round++;
        if (WaitForSingleObject(search.stop, 0) == WAIT_OBJECT_0)
            break;
        if (left.size() == 1) {
            Conviction conviction;
            if (alone(left[0], &conviction) == Alone::Convicted)
                return conviction;
            break;
        }
        // The later half first: a thread tends to fault soon after its
        // plug-in's report, so the suspects scanned last are the likeliest.
        size_t split = left.size() / 2;
        std::vector<std::string> half(left.begin() + static_cast<ptrdiff_t>(split), left.end());
        Trial trial = RunTrial(half, search, search.graceMs);
        if (!trial.ran) {
            if (!trial.failure.empty())
                note(trial.failure);
            break;
        }
        if (trial.diedAfter < 0) {
            note("the last " + std::to_string(half.size()) + " of " + std::to_string(left.size()) +
                 " suspects scanned without a crash");
            left.resize(split);
            continue;
        }
        std::string last = half[static_cast<size_t>(trial.diedAfter)];
        bool same = SameDeath(wanted, trial.death);
        note("a server died after " + FileNameOf(last) + ", " + std::to_string(trial.diedAfter + 1) + " of " +
             std::to_string(half.size()) + " suspects in, " +
             (same ? "as the incident's did" : "otherwise than the incident's (" + DeathText(trial.death) + ")"));
        // The fault came during the last one's scan or grace: it is the
        // likeliest, though one before it may fault later than the grace.
        Conviction conviction;
        Alone tried = alone(last, &conviction);
        if (tried == Alone::Convicted)
            return conviction;
        if (tried == Alone::NotRun)
            break;
        if (same) {
            left.assign(half.begin(), half.begin() + trial.diedAfter);
            continue;
        }
        // A death of another kind says nothing of where the incident's came
        // from, and a suspect that dies so would end every later trial
        // early: it alone leaves the suspects.
        left.erase(std::find(left.begin(), left.end(), last));
    }
    bool stopped = WaitForSingleObject(search.stop, 0) == WAIT_OBJECT_0;
    incident->tried.push_back(stopped ? "the search was stopped: nobody is blamed"
                                      : "the crash did not come again: nobody is blamed");
    return Conviction();
}

}  // namespace host
