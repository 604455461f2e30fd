#include "host/engine/Events.h"

#include "host/engine/Version.h"

namespace host {

EventStream::EventStream(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {}

void EventStream::Send(const Json& event) {
    // Plug-in bytes that are not UTF-8 were decoded already; replace is for
    // a path that is not valid UTF-16, never a reason to lose the event.
    sink_(event.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void EventStream::Start(const ScanProgress& progress) {
    started_ = true;
    Send(Json{{"event", "start"},
              {"total", progress.total},
              {"fromCache", progress.fromCache},
              {"skipped", progress.skipped},
              {"version", kScannerVersion}});
    for (const Json& warning : beforeStart_)
        Send(warning);
    beforeStart_.clear();
}

void EventStream::Attach(Scanner* scanner) {
    scanner->onStart = [this](const ScanProgress& progress) { Start(progress); };
    scanner->onRecord = [this](const PluginRecord& record) {
        Send(Json{{"event", "plugin"}, {"record", ToJson(record)}});
    };
    scanner->onProgress = [this, next = std::move(scanner->onProgress)](const ScanProgress& progress) {
        if (next)
            next(progress);
        uint64_t now = GetTickCount64();
        bool last = progress.finished && progress.done == progress.total;
        if (!last && now - lastProgress_ < kProgressIntervalMs)
            return;
        lastProgress_ = now;
        Send(Json{{"event", "progress"},
                  {"done", progress.done},
                  {"total", progress.total},
                  {"perSecond", progress.perSecond},
                  {"inFlight", progress.inFlight}});
    };
    scanner->onIncident = [this](const Incident& incident, size_t index) {
        Send(Json{{"event", "incident"}, {"index", index}, {"incident", ToJson(incident)}});
    };
    scanner->onWarning = [this, next = std::move(scanner->onWarning)](const std::string& text) {
        if (next)
            next(text);
        Json event = {{"event", "warning"}, {"text", text}};
        if (started_)
            Send(event);
        else
            beforeStart_.push_back(std::move(event));
    };
}

void EventStream::End(const Scanner& scanner) {
    if (!started_)
        Start(ScanProgress{});
    Send(Json{{"event", "end"}, {"run", ToJson(scanner.results().run)}});
}

}  // namespace host
