#include "host/engine/wire/Answer.h"

namespace host {

namespace {

bool HasTag(const std::string& line, const char* tag) {
    return line.compare(0, std::char_traits<char>::length(tag), tag) == 0;
}

// The text of a line for a message: without its line feed, cut short.
std::string Shown(const std::string& line) {
    std::string text = line.substr(0, 120);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

}  // namespace

AnswerReader::AnswerReader(const std::string& request)
    : scanningLine_("info:Scanning plugin: '" + request + "'\n") {}

AnswerReader::Step AnswerReader::Fail(const std::string& reason) {
    answer_.outOfStep = reason;
    return Step::OutOfStep;
}

void AnswerReader::KeepLog(const std::string& line) {
    answer_.logLines++;
    answer_.logTail.push_back(line.substr(0, line.size() - 1));
    if (answer_.logTail.size() > kLogKept)
        answer_.logTail.pop_front();
}

AnswerReader::Step AnswerReader::Take(const std::string& line) {
    if (line.empty() || line.back() != '\n')
        return Fail("a line cut short: '" + Shown(line) + "'");
    if (line == "ready:\n") {
        if (!answer_.started)
            return Fail("a prompt before the scan began");
        if (!reportEnded_)
            return Fail(reportBegun_ ? "a prompt inside the report" : "a prompt before any report");
        answer_.complete = true;
        return Step::Done;
    }
    if (HasTag(line, "info:") || HasTag(line, "warn:")) {
        if (!answer_.started && line == scanningLine_) {
            answer_.started = true;
            return Step::More;
        }
        if (HasTag(line, "info:Scanning plugin: "))
            return Fail("the scan of another request: '" + Shown(line) + "'");
        KeepLog(line);
        return Step::More;
    }
    if (!answer_.started)
        return Fail("'" + Shown(line) + "' before the scan began");
    if (HasTag(line, "error:")) {
        if (reportBegun_ || !answer_.errorText.empty())
            return Fail("an error line out of place: '" + Shown(line) + "'");
        answer_.errorText = line.substr(6, line.size() - 7);
        KeepLog(line);
        return Step::More;
    }
    if (!HasTag(line, ">:"))
        return Fail("an untagged line: '" + Shown(line) + "'");
    if (reportEnded_)
        return Fail("a second report");
    if (!reportBegun_) {
        if (line != ">:{\n")
            return Fail("a report that does not begin with '{': '" + Shown(line) + "'");
        reportBegun_ = true;
    }
    if (answer_.reportText.size() + line.size() > kReportBytesLimit)
        return Fail("a report of more than 32 MiB");
    answer_.reportText.append(line, 2, std::string::npos);
    if (line == ">:}\n") {
        reportEnded_ = true;
        std::string error;
        if (!ParseReport(answer_.reportText, &answer_.report, &error))
            return Fail(error);
    }
    return Step::More;
}

}  // namespace host
