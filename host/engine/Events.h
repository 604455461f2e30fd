#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/engine/Scanner.h"

namespace host {

// A scan told as a stream of JSON objects, one line each, for hosts that
// follow a scan from outside: `plugin-scan --events` and the callback of
// scanengine.dll. Every object has an "event" key:
//   start     {"total", "fromCache", "skipped", "version"}, first: warnings
//             found while the scan is planned follow it, and a run that
//             could not start sends one with zeros before its end
//   plugin    {"record"}: a plug-in file's record as the results file holds
//             it; sent again when it changes, the last one standing
//   progress  {"done", "total", "perSecond", "inFlight"}, at most every
//             kProgressIntervalMs
//   incident  {"index", "incident"}: index is its place in the run's
//             incidents; sent again, same index, when its culprit search ends
//   warning   {"text"}
//   end       {"run"}: the results file's run object, last
class EventStream {
public:
    static constexpr uint64_t kProgressIntervalMs = 250;

    // sink gets each event as one line of JSON text, without a line feed.
    explicit EventStream(std::function<void(const std::string&)> sink);

    // Sends the scanner's events to the sink; warnings go on to onWarning
    // too, when it was set before.
    void Attach(Scanner* scanner);
    // The closing event, once Run has returned.
    void End(const Scanner& scanner);

private:
    void Send(const Json& event);
    void Start(const ScanProgress& progress);

    std::function<void(const std::string&)> sink_;
    uint64_t lastProgress_ = 0;
    bool started_ = false;
    std::vector<Json> beforeStart_;  // warnings of the planning, held for start
};

}  // namespace host
