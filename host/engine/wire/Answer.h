#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "host/engine/wire/Report.h"

namespace host {

// What a server answered to one request, as far as it came.
struct Answer {
    bool started = false;             // the server's "Scanning plugin" line for this request came
    bool complete = false;            // a whole report and the prompt after it came
    std::string errorText;            // the text of the "error:" line, if any
    std::string reportText;           // the report lines, tags taken off
    Report report;                    // the report, once complete
    std::deque<std::string> logTail;  // the last kLogKept log lines, tags kept, line feeds taken off
    size_t logLines = 0;              // log lines in all
    std::string outOfStep;            // why the answer is not one the server writes, if it is not
};

// Follows a server's answer to one request line by line and checks that it
// is the answer the server writes to that request: its "Scanning plugin"
// line for this very request first, then log lines, at most one error line,
// exactly one report, and the prompt. Plug-in threads may call the host
// from outside any request, so log lines may come before the scan's first
// line and between report lines. A plug-in can also find the server's pipe
// and write into it: whatever breaks the order ends the answer as out of
// step rather than being read on out of step.
class AnswerReader {
public:
    static constexpr size_t kLogKept = 20;
    static constexpr size_t kReportBytesLimit = 32 * 1024 * 1024;

    // request: the text of the request line as sent, without its line feed.
    explicit AnswerReader(const std::string& request);

    enum class Step { More, Done, OutOfStep };
    // Takes the next whole line, line feed included.
    Step Take(const std::string& line);

    const Answer& answer() const { return answer_; }
    Answer& answer() { return answer_; }

private:
    Step Fail(const std::string& reason);
    void KeepLog(const std::string& line);

    std::string scanningLine_;
    bool reportBegun_ = false;
    bool reportEnded_ = false;
    Answer answer_;
};

}  // namespace host
