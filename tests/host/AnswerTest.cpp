// Following a server's answer line by line: what a server writes is taken,
// anything a plug-in could forge into its pipe ends the answer.
#include "host/engine/wire/Answer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using host::AnswerReader;
using Step = AnswerReader::Step;

const char kRequest[] = "C:\\VST\\A.dll";
const char kScanning[] = "info:Scanning plugin: 'C:\\VST\\A.dll'\n";

std::vector<std::string> Report() {
    return {">:{\n",
            ">:  \"id\":        \"41424344\",\n",
            ">:  \"name\":      \"A\",\n",
            ">:  \"vendor\":    \"V\",\n",
            ">:  \"product\":   \"P\",\n",
            ">:  \"version\":   \"\",\n",
            ">:  \"error\":     \"\",\n",
            ">:  \"numInputs\": 2,\n",
            ">:  \"numOutputs\":2,\n",
            ">:  \"wantsMidi\":  false,\n",
            ">:  \"sendsMidi\": false,\n",
            ">:  \"platform\":  \"x64\",\n",
            ">:  \"audio64\":   false,\n",
            ">:  \"category\":  1,\n",
            ">:  \"synthEdit\": false,\n",
            ">:}\n"};
}

struct Case {
    const char* what;
    std::vector<std::string> lines;
    Step last;                 // the step the last line gives
    const char* outOfStep;     // the start of the reason, when out of step
};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(AnswerReader, TakesWhatTheServerWritesAndStopsAtWhatItNeverDoes) {
    const std::vector<std::string> scanning = {kScanning};
    const std::vector<std::string> prompt = {"ready:\n"};
    const std::vector<std::string> log = {"info:Loading library...\n"};
    std::vector<std::string> report = Report();
    std::vector<std::string> split = report;  // a plug-in thread's call in the middle of the report
    split.insert(split.begin() + 5, "info:Audio master callback: 7 - audioMasterGetTime\n");

    const Case cases[] = {
        {"a whole answer", Join({scanning, log, report, prompt}), Step::Done, ""},
        {"an error line, then the report", Join({scanning, {"error:Bad magic\n"}, report, prompt}), Step::Done, ""},
        {"a plug-in thread's line before the scan", Join({{"info:Audio master callback: 0 - x\n"}, scanning, report, prompt}), Step::Done, ""},
        {"log lines inside the report", Join({scanning, split, prompt}), Step::Done, ""},
        {"a forged prompt before the report", Join({scanning, log, prompt}), Step::OutOfStep, "a prompt before any report"},
        {"a forged prompt inside the report", Join({scanning, {">:{\n"}, prompt}), Step::OutOfStep, "a prompt inside the report"},
        {"a prompt before the scan", prompt, Step::OutOfStep, "a prompt before the scan began"},
        {"the scan of another path", {"info:Scanning plugin: 'C:\\VST\\B.dll'\n"}, Step::OutOfStep, "the scan of another request"},
        {"a second report", Join({scanning, report, {">:{\n"}}), Step::OutOfStep, "a second report"},
        {"an error line after the report began", Join({scanning, {">:{\n", "error:x\n"}}), Step::OutOfStep, "an error line out of place"},
        {"an untagged line", Join({scanning, {"hello\n"}}), Step::OutOfStep, "an untagged line"},
        {"a report line before the scan", {">:{\n"}, Step::OutOfStep, "'>:{' before the scan began"},
        {"a report that does not parse", Join({scanning, {">:{\n", ">:  \"id\": 1,\n", ">:}\n"}}), Step::OutOfStep, "report line 2"},
        {"a line without its line feed", Join({scanning, {"info:cut"}}), Step::OutOfStep, "a line cut short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AnswerReader reader(kRequest);
        Step step = Step::More;
        for (size_t i = 0; i < c.lines.size(); i++) {
            step = reader.Take(c.lines[i]);
            if (i + 1 < c.lines.size()) {
                ASSERT_EQ(step, Step::More) << "at line " << i;
            }
        }
        EXPECT_EQ(step, c.last);
        EXPECT_EQ(reader.answer().outOfStep.rfind(c.outOfStep, 0), 0u) << reader.answer().outOfStep;
        EXPECT_EQ(reader.answer().complete, c.last == Step::Done);
    }
}

TEST(AnswerReader, KeepsTheReportTheErrorAndOnlyTheLastLogLines) {
    AnswerReader reader(kRequest);
    ASSERT_EQ(reader.Take(kScanning), Step::More);
    for (int i = 0; i < 30; i++)
        ASSERT_EQ(reader.Take("info:Found shell: " + std::to_string(i) + "\n"), Step::More);
    ASSERT_EQ(reader.Take("error:Bad magic\n"), Step::More);
    for (const std::string& line : Report())
        ASSERT_EQ(reader.Take(line), Step::More);
    ASSERT_EQ(reader.Take("ready:\n"), Step::Done);
    const host::Answer& answer = reader.answer();
    EXPECT_EQ(answer.errorText, "Bad magic");
    EXPECT_EQ(answer.report.id, "41424344");
    EXPECT_EQ(answer.logLines, 31u);  // the scan's first line is not a log line
    ASSERT_EQ(answer.logTail.size(), AnswerReader::kLogKept);
    EXPECT_EQ(answer.logTail.front(), "info:Found shell: 11");
    EXPECT_EQ(answer.logTail.back(), "error:Bad magic");
}

}  // namespace
