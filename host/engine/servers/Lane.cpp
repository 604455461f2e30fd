#include "host/engine/servers/Lane.h"

#include "host/engine/failures/Evidence.h"
#include "host/engine/failures/DumpReader.h"
#include "host/engine/failures/ExitCode.h"
#include "host/engine/failures/HangDump.h"
#include "host/engine/failures/LoadFailure.h"
#include "host/engine/plan/Discovery.h"
#include "host/engine/plan/ScanPlan.h"
#include "host/engine/util/Text.h"

namespace host {

namespace {

constexpr size_t kOutputKept = 4096;

// What a request leaves in its record besides the report: what plug-ins
// printed meanwhile, and for a failure the server's last log lines, which
// show the step at which it stopped.
void KeepEvidence(const Exchange& exchange, ScanResult* result) {
    const std::string& output = exchange.pluginOutput;
    if (output.size() > kOutputKept || exchange.outputDropped) {
        size_t from = output.size() > kOutputKept ? output.size() - kOutputKept : 0;
        // Never from the middle of a UTF-8 sequence.
        while (from < output.size() && (static_cast<unsigned char>(output[from]) & 0xC0) == 0x80)
            from++;
        result->output = "[...]" + output.substr(from);
    } else {
        result->output = output;
    }
    if (result->status != Status::Ok)
        result->log.assign(exchange.answer.logTail.begin(), exchange.answer.logTail.end());
    else
        result->log.clear();
}

void FillFromAnswer(const Exchange& exchange, ScanResult* result) {
    const Report& report = exchange.answer.report;
    result->report = report;
    result->status = report.error.empty() ? Status::Ok : Status::Failed;
    result->error = report.error;
    if (report.format.empty()) {
        result->name = DecodePluginText(report.name);
        result->vendor = DecodePluginText(report.vendor);
        result->product = DecodePluginText(report.product);
    } else {
        // A module's text reaches the report decoded: its names are the
        // first class's, its vendor the factory's when it gives one.
        std::vector<PluginClass> classes = ClassesOf(report);
        result->name = classes.empty() ? std::string() : classes.front().name;
        result->vendor = !report.vendor.empty() || classes.empty() ? report.vendor : classes.front().vendor;
        result->product.clear();
    }
    result->durationMs = exchange.durationMs;
    KeepEvidence(exchange, result);
}

// A bundle with no binary a server can load fails without a server.
void FailBundle(const std::wstring& bundle, const BundleLayout& layout, PluginRecord* record) {
    std::string name = FileNameOf(ToUtf8(bundle));
    record->status = Status::Failed;
    if (layout.otherBinaries.empty()) {
        record->platform = "none";
        record->reason = "missing binary";
        record->error = "the bundle holds no binary: neither Contents\\x86_64-win\\" + name +
                        " nor Contents\\x86-win\\" + name + " is there";
        return;
    }
    std::string folders;
    for (const std::string& folder : layout.otherBinaries)
        folders += (folders.empty() ? "Contents\\" : ", Contents\\") + folder;
    const std::string& first = layout.otherBinaries.front();
    record->platform = first.substr(0, first.size() - 4);  // "arm64-win": "arm64"
    record->reason = "wrong architecture";
    record->error = "the bundle has binaries only in " + folders +
                    ", which neither the x64 nor the x86 scan server can load";
}

// The plug-ins a VST3 class replaces, as its bundle's moduleinfo.json
// names them. A file that cannot be read adds nothing: the factory's own
// account stands.
void AddReplaced(const std::wstring& moduleInfo, PluginRecord* record) {
    ModuleInfo info;
    std::string problem;
    if (!ReadModuleInfo(RequestPath(moduleInfo), &info, &problem))
        return;
    for (PluginClass& entry : record->classes) {
        auto found = info.replaces.find(entry.id);
        if (found != info.replaces.end())
            entry.replaces = found->second;
    }
}

// A fault in the server's own code while it scanned a plug-in came from
// what the plug-in handed it (a garbage AEffect, a pointer it freed): the
// server's last step, from its log, says so, so that nobody takes it for a
// fault of the scanner.
void NameServerStep(const std::string& serverName, ScanResult* result) {
    if (!result->fault || result->log.empty() ||
        CompareStringOrdinal(FromUtf8(result->fault->module).c_str(), -1, FromUtf8(serverName).c_str(), -1,
                             TRUE) != CSTR_EQUAL)
        return;
    std::string step;
    for (const std::string& line : result->log)
        if (line.rfind("info:", 0) == 0)
            step = line.substr(5);
    if (step.empty())
        return;
    result->fault->text += "; in the scan server's own code, at its step \"" + step +
                           "\", with what the plug-in had handed it";
}

// How one attempt at a request died: what the lane saw at once, and how
// its server ended, once the reaper knows.
struct Death {
    bool dumpSeen = false;
    std::string outOfStep;  // what the server wrote out of step, if that was it
    ServerEnd end;

    bool HasDump() const { return dumpSeen || !end.dump.empty(); }
    // A crash: a dump, an exception exit code, or exit code 9 where the
    // server writes no dumps. The crash exit code alone proves nothing
    // where it does: a plug-in can end the process with 9 itself.
    bool Crashed(bool dumpsEnabled) const {
        return HasDump() || end.fault || (!dumpsEnabled && end.exitCode && *end.exitCode == 9);
    }
};

// Whether two deaths of the same request look like one cause: alike in
// how the server ended, with or without a dump, and where the fault lay.
bool LookAlike(const Death& a, const Death& b) {
    if (a.outOfStep.empty() != b.outOfStep.empty() || a.HasDump() != b.HasDump() ||
        a.end.exitCode != b.end.exitCode)
        return false;
    if (!a.end.fault || !b.end.fault)
        return true;
    const Fault& x = *a.end.fault;
    const Fault& y = *b.end.fault;
    return x.code == y.code && x.module == y.module && x.unloadedModule == y.unloadedModule;
}

// A death in a few words, for an incident's reason.
std::string HowItDied(const Death& death) {
    std::string how = !death.outOfStep.empty() ? "answered out of step (" + death.outOfStep + ")"
                      : death.end.exitCode     ? "exit code " + ExitCodeText(*death.end.exitCode)
                                               : "ended by the scanner";
    how += death.HasDump() ? " with a crash dump" : " without a crash dump";
    if (death.HasDump() && death.end.fault) {
        const Fault& fault = *death.end.fault;
        how += ": " + fault.name + (!fault.module.empty() ? " in " + fault.module : " in no module");
    }
    return how;
}

// What a request that killed two servers in a row comes to, once the
// second one's end is known.
void ApplyEnd(const Death& death, bool dumpsEnabled, ScanResult* result) {
    const ServerEnd& end = death.end;
    result->exitCode = end.exitCode;
    result->dump = end.dump;
    result->fault = end.fault;
    const char* again = ", and again in a fresh server";
    if (!death.outOfStep.empty()) {
        result->status = Status::Ended;
        result->error = "the server answered out of step (" + death.outOfStep + ")" + again;
        return;
    }
    bool crashed = death.Crashed(dumpsEnabled);
    result->status = crashed ? Status::Crashed : Status::Ended;
    if (crashed && !death.HasDump() && end.fault)
        result->error = "it crashed the server (exit code " + ExitCodeText(*end.exitCode) + ", " +
                        end.fault->name + ") without a crash dump" + again;
    else if (crashed)
        result->error = std::string("it crashed the server") + again;
    else if (end.exitCode)
        result->error = "the server ended with exit code " + ExitCodeText(*end.exitCode) +
                        (*end.exitCode == 9 ? " but left no crash dump" : "") + again;
    else
        result->error = std::string("the server stopped answering and did not end") + again;
}

// Posts the incident of a server that ended as end says: during the
// request `during` (empty: between requests), having scanned suspects,
// with each plug-in file it loaded where loads say.
void PostIncident(Pool* pool, const ServerEnd& end, const std::string& during,
                  const std::vector<std::string>& suspects, const std::vector<PluginLoad>& loads,
                  const std::string& reason) {
    PoolEvent event;
    event.kind = PoolEvent::Kind::Incident;
    event.incident.exitCode = end.exitCode;
    event.incident.dump = end.dump;
    event.incident.during = during;
    event.incident.suspects = suspects;
    event.incident.fault = end.fault;
    event.incident.loads = loads;
    // A fault in the code of one of the plug-ins that server had loaded,
    // the one in flight included, names its culprit outright, whether the
    // code was still loaded or not; anything else must be narrowed down by
    // scanning again.
    std::vector<std::string> candidates = suspects;
    std::string inFlight = during.substr(0, during.find('>'));
    if (!inFlight.empty())
        candidates.push_back(inFlight);
    std::string how;
    std::string named = PluginNamedByDump(end.dump, loads, candidates, &how);
    if (!named.empty()) {
        event.incident.culprit = named;
        event.incident.tried.push_back("the dump names " + FileNameOf(named) + ": " + how);
    }
    if (!reason.empty()) {
        event.incident.reason = reason;
    } else if (!end.dump.empty() || end.fault || (end.exitCode && *end.exitCode == 9)) {
        std::string crashed = "the server crashed";
        if (end.dump.empty() && end.fault)
            crashed += " (exit code " + ExitCodeText(*end.exitCode) + ", " + end.fault->name +
                       ", without a crash dump)";
        event.incident.reason = crashed + (during.empty() ? " between requests"
                                                         : ", but the plug-in then scanned cleanly "
                                                           "in a fresh server");
    } else if (end.exitCode) {
        event.incident.reason = "the server ended with exit code " + ExitCodeText(*end.exitCode) +
                                (during.empty() ? " between requests"
                                                : ", but the plug-in then scanned cleanly in a "
                                                  "fresh server");
    } else {
        event.incident.reason = "the server did not end when its input was closed";
    }
    pool->Post(std::move(event));
}

}  // namespace

// A record that may still wait for how a server that died scanning it
// ended. The lane and each such wait hold it; the last to let go completes
// it and hands it to the pool. Ends are applied only then, on one thread,
// so that nothing else writes to the record meanwhile.
class PendingRecord : public std::enable_shared_from_this<PendingRecord> {
public:
    PendingRecord(Pool* pool, size_t item, bool dumpsEnabled, std::string serverName)
        : pool_(pool), item_(item), dumpsEnabled_(dumpsEnabled), serverName_(std::move(serverName)) {}

    ~PendingRecord() {
        if (abandoned_)
            return;
        for (const std::shared_ptr<Twice>& twice : twice_) {
            ApplyEnd(twice->retry, dumpsEnabled_, twice->result);
            NameServerStep(serverName_, twice->result);
            // A first death unlike the retry's was not this plug-in's doing
            // alone: an earlier plug-in of that server may have caused it.
            if (!LookAlike(twice->first, twice->retry))
                PostIncident(pool_, twice->first.end, twice->request, twice->firstSuspects, twice->firstLoads,
                             "the server died (" + HowItDied(twice->first) +
                                 "), and the plug-in then died otherwise in a fresh server (" +
                                 HowItDied(twice->retry) + ")");
        }
        PoolEvent event;
        event.kind = PoolEvent::Kind::Finished;
        event.item = item_;
        event.record = std::move(record_);
        pool_->Post(std::move(event));
    }

    PluginRecord& record() { return record_; }

    // result (inside this record), the scan of request, died twice: first
    // in the server that ends by firstFate, having scanned firstSuspects,
    // then in the one that ends by retryFate.
    void WhenEnded(ScanResult* result, const std::string& request, const std::shared_ptr<ServerFate>& firstFate,
                   const Death& first, std::vector<std::string> firstSuspects, std::vector<PluginLoad> firstLoads,
                   const std::shared_ptr<ServerFate>& retryFate, const Death& retry) {
        auto twice = std::make_shared<Twice>();
        twice->result = result;
        twice->request = request;
        twice->first = first;
        twice->firstSuspects = std::move(firstSuspects);
        twice->firstLoads = std::move(firstLoads);
        twice->retry = retry;
        std::shared_ptr<PendingRecord> self = shared_from_this();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            twice_.push_back(twice);
        }
        firstFate->Then([self, twice](const ServerEnd& end) {
            std::lock_guard<std::mutex> lock(self->mutex_);
            twice->first.end = end;
        });
        retryFate->Then([self, twice](const ServerEnd& end) {
            std::lock_guard<std::mutex> lock(self->mutex_);
            twice->retry.end = end;
        });
    }

    // The scan was stopped: the record is not complete and is not handed on.
    void Abandon() { abandoned_ = true; }

private:
    struct Twice {
        ScanResult* result = nullptr;
        std::string request;
        Death first;
        std::vector<std::string> firstSuspects;
        std::vector<PluginLoad> firstLoads;
        Death retry;
    };
    Pool* pool_;
    size_t item_;
    bool dumpsEnabled_;
    std::string serverName_;
    bool abandoned_ = false;
    PluginRecord record_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Twice>> twice_;
};

Lane::Lane(Pool* pool, int index) : pool_(pool), index_(index) {
    settings_[0] = pool_->options_.server;
    settings_[1] = SettingsForMachine(pool_->options_.server, Machine::X86);
}

const ServerSettings& Lane::Settings() const {
    return settings_[machine_ == Machine::X86 ? 1 : 0];
}

void Lane::UseServersFor(Machine machine) {
    bool x86 = machine == Machine::X86;
    if (x86 == (machine_ == Machine::X86))
        return;
    std::swap(server_, asideServer_);
    std::swap(spares_, asideSpares_);
    machine_ = x86 ? Machine::X86 : Machine::X64;
}

void Lane::LaunchSpares(size_t count) {
    while (spares_.size() < count) {
        spares_.push_back(std::async(std::launch::async, [pool = pool_, settings = Settings()] {
            auto spare = std::make_unique<PooledServer>();
            std::string error;
            if (!spare->Launch(settings, &error))
                return std::unique_ptr<PooledServer>();
            pool->serversLaunched_++;
            return spare;
        }));
    }
}

std::unique_ptr<PooledServer> Lane::TakeSpare() {
    std::unique_ptr<PooledServer> spare = spares_.front().get();
    spares_.pop_front();
    return spare;
}

bool Lane::EnsureServer() {
    if (server_)
        return true;
    std::string error;
    // The first death in the lane: the replacement and a spare start
    // together, so that a plug-in that crashes its second server too (it is
    // tried again at once) finds a third one ready or nearly.
    if (deathSeen_ && spares_.empty())
        LaunchSpares(SparesWanted());
    while (!spares_.empty()) {
        std::unique_ptr<PooledServer> spare = TakeSpare();
        if (!spare)
            continue;
        if (spare->WaitReady(&error)) {
            TakeServer(std::move(spare));
            return true;
        }
        pool_->reaper_.Retire(std::move(spare), Reaper::Leave::End);
    }
    // A start can fail for a moment (a machine short of memory); a server
    // executable that is missing or broken fails every time.
    for (int attempt = 0; attempt < 3; attempt++) {
        if (WaitForSingleObject(pool_->stop_, 0) == WAIT_OBJECT_0)
            return false;
        auto server = std::make_unique<PooledServer>();
        pool_->serversLaunched_++;
        if (server->Start(Settings(), &error)) {
            TakeServer(std::move(server));
            return true;
        }
        pool_->reaper_.Retire(std::move(server), Reaper::Leave::End);
        Sleep(100);
    }
    PoolEvent event;
    event.kind = PoolEvent::Kind::Fatal;
    event.text = error;
    pool_->Post(std::move(event));
    SetEvent(pool_->stop_);
    return false;
}

void Lane::TakeServer(std::unique_ptr<PooledServer> server) {
    pool_->serversStarted_++;
    server_ = std::move(server);
    // Once a server of the lane has died, servers to take over come up
    // while this one scans, so that the next crash waits for no server's
    // start-up: deaths come in runs (a crashing plug-in is tried twice, a
    // library's plug-ins share their faults). Two, because a plug-in that
    // crashes is tried again at once and crashes again. Before that, none:
    // each start costs the machine a server's start-up and shows a badge,
    // and most scans see no death at all.
    if (deathSeen_)
        LaunchSpares(SparesWanted());
}

size_t Lane::SparesWanted() const {
    return static_cast<size_t>(pool_->options_.spareServers);
}

void Lane::DumpHang(ScanResult* result) {
    const std::wstring& folder = pool_->options_.server.dumpFolder;
    if (folder.empty())
        return;
    ServerProcess& process = server_->process();
    std::wstring path;
    std::string error;
    if (!WriteHangDump(process.process(), process.processId(), folder, &path, &error))
        return;
    result->dump = ToUtf8(path);
    DumpContents dump;
    Fault fault;
    if (ReadDump(path, &dump, &error) && DescribeHang(dump, process.mainThreadId(), &fault)) {
        result->fault = fault;
        result->error += ": " + fault.text;
    }
}

void Lane::RememberAnswered(const std::string& request) {
    // Suspects are plug-in files: a shell's sub-plug-ins are the shell's
    // own code. No path holds '>', which Windows forbids in names.
    std::string file = request.substr(0, request.find('>'));
    std::vector<std::string>& answered = server_->answered();
    if (answered.empty() || answered.back() != file)
        answered.push_back(file);
}

std::shared_ptr<ServerFate> Lane::RetireServer(Reaper::Leave leave) {
    if (!server_)
        return nullptr;
    return pool_->reaper_.Retire(std::move(server_), leave);
}

void Lane::ReportIncident(const std::shared_ptr<ServerFate>& fate, const std::string& during,
                          const std::vector<std::string>& suspects, const std::vector<PluginLoad>& loads,
                          const std::string& reason) {
    if (!fate)
        return;
    Pool* pool = pool_;
    fate->Then([pool, during, suspects, loads, reason](const ServerEnd& end) {
        bool orderly = end.exitCode && *end.exitCode == 0 && end.dump.empty();
        if (during.empty() && reason.empty() && orderly)
            return;
        PostIncident(pool, end, during, suspects, loads, reason);
    });
}

void Lane::RetireIfWorn() {
    if (!server_)
        return;
    const PoolOptions& options = pool_->options_;
    bool worn = server_->requests >= options.recycleAfter ||
                (options.memoryLimit && server_->PrivateBytes() > options.memoryLimit);
    if (!worn)
        return;
    std::vector<std::string> suspects = server_->answered();
    std::vector<PluginLoad> loads = server_->loads();
    ReportIncident(RetireServer(Reaper::Leave::Close), "", suspects, loads, "");
}

Lane::Outcome Lane::Scan(const std::string& request, ScanResult* result,
                         const std::shared_ptr<PendingRecord>& pending) {
    const PoolOptions& options = pool_->options_;
    std::shared_ptr<ServerFate> firstFate;
    std::vector<std::string> firstSuspects;
    std::vector<PluginLoad> firstLoads;
    std::string firstReason;
    Death firstDeath;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!EnsureServer())
            return Outcome::Stopped;
        Exchange exchange = server_->Ask(request, LimitFromNow(options.timeoutMs), pool_->stop_,
                                         options.dialogs);
        result->dialogs = exchange.dialogs;
        switch (exchange.end) {
        case Exchange::End::Answered:
            FillFromAnswer(exchange, result);
            RememberAnswered(request);
            ReportIncident(firstFate, request, firstSuspects, firstLoads, firstReason);
            return Outcome::Answered;
        case Exchange::End::Stopped:
            RetireServer(Reaper::Leave::End);
            return Outcome::Stopped;
        case Exchange::End::TimedOut:
            result->status = Status::TimedOut;
            result->error = exchange.listingCut
                                ? "its shell listed " + std::to_string(exchange.listed) +
                                      " sub-plug-ins and did not end within " +
                                      std::to_string(options.timeoutMs * kListingCeilingLimits / 1000) + " s"
                            : exchange.listed
                                ? "no answer within " + std::to_string(options.timeoutMs / 1000) +
                                      " s of the last new sub-plug-in its shell listed (" +
                                      std::to_string(exchange.listed) + " listed)"
                                : "no answer within " + std::to_string(options.timeoutMs / 1000) + " s";
            result->durationMs = exchange.durationMs;
            KeepEvidence(exchange, result);
            DumpHang(result);
            deathSeen_ = true;
            RetireServer(Reaper::Leave::End);
            ReportIncident(firstFate, request, firstSuspects, firstLoads, firstReason);
            return Outcome::TimedOut;
        case Exchange::End::Refused:
            result->status = Status::Failed;
            result->error = exchange.refusal;
            result->durationMs = exchange.durationMs;
            KeepEvidence(exchange, result);
            deathSeen_ = true;
            RetireServer(Reaper::Leave::End);
            ReportIncident(firstFate, request, firstSuspects, firstLoads, firstReason);
            return Outcome::Refused;
        case Exchange::End::Died:
        case Exchange::End::OutOfStep:
            break;
        }
        bool outOfStep = exchange.end == Exchange::End::OutOfStep;
        bool dumpSeen = !outOfStep && server_->DumpAppeared();
        std::vector<std::string> suspects = server_->answered();
        std::vector<PluginLoad> loads = server_->loads();
        std::string reason = outOfStep ? "the server answered out of step (" +
                                             exchange.answer.outOfStep + ")"
                                       : "";
        deathSeen_ = true;
        std::shared_ptr<ServerFate> fate = RetireServer(
            outOfStep ? Reaper::Leave::End : dumpSeen ? Reaper::Leave::Crash : Reaper::Leave::Close);
        Death death;
        death.dumpSeen = dumpSeen;
        death.outOfStep = outOfStep ? exchange.answer.outOfStep : "";
        if (attempt == 0) {
            firstFate = fate;
            firstSuspects = std::move(suspects);
            firstLoads = std::move(loads);
            firstReason = reason;
            firstDeath = death;
            continue;
        }
        result->status = dumpSeen ? Status::Crashed : Status::Ended;
        result->durationMs = exchange.durationMs;
        KeepEvidence(exchange, result);
        pending->WhenEnded(result, request, firstFate, firstDeath, std::move(firstSuspects), std::move(firstLoads),
                           fate, death);
        return Outcome::Died;
    }
    return Outcome::Died;
}

void Lane::Run() {
    size_t item = 0;
    bool dumpsEnabled = !pool_->options_.server.dumpFolder.empty();
    while (pool_->TakeWork(&item)) {
        const FoundPlugin& found = pool_->work_[item];
        PoolEvent started;
        started.kind = PoolEvent::Kind::Started;
        started.item = item;
        pool_->Post(std::move(started));

        auto pending = std::make_shared<PendingRecord>(
            pool_, item, dumpsEnabled, FileNameOf(ToUtf8(pool_->options_.server.serverPath)));
        PluginRecord& record = pending->record();
        record.path = ToUtf8(found.path);
        record.size = found.size;
        record.modified = FileTimeText(found.modified);
        record.format = FormatName(found.format);
        if (found.moduleInfo)
            record.moduleInfo = FileStamp{found.moduleInfo->size, FileTimeText(found.moduleInfo->modified)};
        std::string request = ToUtf8(found.request);
        if (found.bundle && found.binary.empty()) {
            FailBundle(found.path, *found.bundle, &record);
            pending.reset();
            continue;
        }
        MachineType type = ReadMachineType(found.binary);
        // What is no PE at all goes to the x64 server, whose load names it.
        record.platform = type.machine == Machine::NotPE ? "x64" : type.platform;
        if (type.machine == Machine::Other ||
            (type.machine == Machine::X86 && pool_->options_.server.serverPath32.empty())) {
            record.status = Status::Failed;
            record.error = type.machine == Machine::Other
                               ? type.problem
                               : "a 32-bit (x86) plug-in, and there is no x86 server to scan it";
            record.reason = type.headersDisagree ? "not a DLL" : "wrong architecture";
            pending.reset();
            continue;
        }
        UseServersFor(type.machine);
        // A recycling is known ahead: its replacement starts with the
        // server's last plug-in.
        if (server_ && spares_.empty() && server_->requests + 1 >= pool_->options_.recycleAfter)
            LaunchSpares(1);
        Outcome outcome = Scan(request, &record, pending);
        if (outcome == Outcome::Answered || outcome == Outcome::Refused)
            ExplainFailure(found.binary, &record);
        if (outcome == Outcome::Answered && record.report) {
            record.classes = ClassesOf(*record.report);
            if (found.bundle && !found.bundle->moduleInfo.empty())
                AddReplaced(found.bundle->moduleInfo, &record);
        }
        if (server_)
            server_->requests++;
        if (outcome == Outcome::Answered && record.report && record.status == Status::Ok) {
            const std::vector<ReportShell>& listed = record.report->shells;
            // Sized once: waits for servers' ends hold pointers into it.
            record.shells.resize(listed.size());
            for (size_t i = 0; i < listed.size() && outcome != Outcome::Stopped; i++) {
                ShellRecord& shell = record.shells[i];
                shell.format = record.format;
                shell.id = listed[i].id;
                shell.name = DecodePluginText(listed[i].name);
                // The same server, while it still holds the shell's library.
                outcome = Scan(request + ">" + listed[i].id, &shell, pending);
                if (outcome == Outcome::Answered || outcome == Outcome::Refused)
                    ExplainFailure(found.binary, &shell);
            }
        }
        if (outcome == Outcome::Stopped) {
            pending->Abandon();
            break;
        }
        pending.reset();
        RetireIfWorn();
    }
    // Each architecture's servers in turn.
    for (int side = 0; side < 2; side++) {
        if (side == 1)
            UseServersFor(machine_ == Machine::X86 ? Machine::X64 : Machine::X86);
        RetireAtEnd();
    }
    pool_->LaneFinished();
}

void Lane::RetireAtEnd() {
    // A spare has scanned nothing, so its end tells nothing: it is ended
    // at once rather than waited for through the rest of its start-up.
    while (!spares_.empty())
        if (std::unique_ptr<PooledServer> spare = TakeSpare())
            pool_->reaper_.Retire(std::move(spare), Reaper::Leave::End);
    if (server_) {
        std::vector<std::string> suspects = server_->answered();
        std::vector<PluginLoad> loads = server_->loads();
        bool stopped = WaitForSingleObject(pool_->stop_, 0) == WAIT_OBJECT_0;
        std::shared_ptr<ServerFate> fate =
            RetireServer(stopped ? Reaper::Leave::End : Reaper::Leave::Close);
        if (!stopped)
            ReportIncident(fate, "", suspects, loads, "");
    }
}

}  // namespace host
