#include "host/engine/Records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using host::Json;

host::Report FullReport(const char* id, const char* name, bool shell) {
    host::Report report;
    report.id = id;
    report.name = name;
    report.vendor = "Vendor \xC3\xA9";
    report.product = "Product";
    report.version = "1.2.3.4";
    report.error = "odd";
    report.numInputs = 2;
    report.numOutputs = -1;
    report.wantsMidi = true;
    report.sendsMidi = true;
    report.platform = "x64";
    report.audio64 = true;
    report.category = shell ? 10 : 2;
    report.synthEdit = true;
    report.hasShells = shell;
    if (shell)
        report.shells = {{"4A3F2B10", "Sub \xE2\x82\xAC"}, {"00000002", "Second"}};
    return report;
}

// Every field away from its default, so that a field lost on the way back
// shows.
host::Results FullResults() {
    host::Results results;
    results.run = {"2026-12-07T11:39:48Z", 12.75, 3, 1, 1, true, {}};
    results.run.incidents.push_back({9u, "C:\\Dumps\\a.mdmp", "C:\\VST\\B.dll", {"C:\\VST\\A.dll"}});

    host::PluginRecord shell;
    shell.path = "C:\\VST\\Sh\xC3\xA9ll.dll";
    shell.size = 5000000000ull;
    shell.modified = "2026-12-07T11:39:48.1234567Z";
    shell.status = host::Status::Failed;
    shell.name = "Shell \xE6\x97\xA5";
    shell.vendor = "Maker";
    shell.product = "Suite";
    shell.error = "Bad magic";
    shell.exitCode = 3221225477u;
    shell.dump = "C:\\Dumps\\b.mdmp";
    shell.durationMs = 1234;
    shell.report = FullReport("45464658", "Shell \xE6\x97\xA5", true);
    host::ShellRecord sub;
    sub.id = "4A3F2B10";
    sub.name = "Sub \xE2\x82\xAC";
    sub.status = host::Status::TimedOut;
    sub.vendor = "Maker";
    sub.product = "Suite";
    sub.error = "timed out";
    sub.exitCode = 1;
    sub.dump = "C:\\Dumps\\c.mdmp";
    sub.durationMs = 30000;
    sub.report = FullReport("4A3F2B10", "Sub", false);
    shell.shells = {sub};
    results.plugins.push_back(shell);

    host::PluginRecord crashed;
    crashed.path = "C:\\VST\\Crash.dll>00000001";
    crashed.size = 7;
    crashed.modified = "1601-01-01T00:00:00.0000000Z";
    crashed.status = host::Status::Crashed;
    results.plugins.push_back(crashed);
    return results;
}

std::vector<std::string> KeysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& member : object.items())
        keys.push_back(member.key());
    return keys;
}

TEST(Records, FullResultsSurviveTheTextFormUnchanged) {
    host::Results original = FullResults();
    std::string text = host::ToJson(original).dump(2, ' ', false, Json::error_handler_t::replace);

    host::Results read;
    std::string error;
    ASSERT_TRUE(host::FromJson(Json::parse(text, nullptr, false), &read, &error)) << error;
    EXPECT_EQ(host::ToJson(read).dump(2), host::ToJson(original).dump(2));
    ASSERT_EQ(read.plugins.size(), 2u);
    EXPECT_EQ(read.plugins[0].name, "Shell \xE6\x97\xA5");
    EXPECT_EQ(read.plugins[0].exitCode, 3221225477u);
    EXPECT_EQ(read.plugins[0].shells.at(0).status, host::Status::TimedOut);
    EXPECT_TRUE(read.plugins[0].report->hasShells);
    EXPECT_EQ(read.plugins[0].report->shells.at(1).id, "00000002");
    EXPECT_FALSE(read.plugins[1].exitCode.has_value());
    EXPECT_FALSE(read.plugins[1].report.has_value());
    EXPECT_EQ(read.run.incidents.at(0).suspects, std::vector<std::string>{"C:\\VST\\A.dll"});
}

TEST(Records, JsonHasTheDocumentedKeysInOrderAndTypes) {
    Json json = host::ToJson(FullResults());
    using Keys = std::vector<std::string>;
    EXPECT_EQ(KeysOf(json), (Keys{"format", "run", "plugins"}));
    EXPECT_EQ(KeysOf(json["run"]),
              (Keys{"started", "seconds", "scanned", "fromCache", "skipped", "stopped", "incidents"}));
    EXPECT_EQ(KeysOf(json["run"]["incidents"][0]), (Keys{"exitCode", "dump", "during", "suspects"}));
    EXPECT_EQ(KeysOf(json["plugins"][0]),
              (Keys{"path", "size", "modified", "status", "name", "vendor", "product", "error",
                    "exitCode", "dump", "durationMs", "report", "shells"}));
    EXPECT_EQ(KeysOf(json["plugins"][0]["shells"][0]),
              (Keys{"id", "name", "status", "vendor", "product", "error", "exitCode", "dump",
                    "durationMs", "report"}));
    EXPECT_EQ(KeysOf(json["plugins"][0]["report"]),
              (Keys{"id", "name", "vendor", "product", "version", "error", "numInputs",
                    "numOutputs", "wantsMidi", "sendsMidi", "platform", "audio64", "category",
                    "synthEdit", "shells"}));
    EXPECT_EQ(KeysOf(json["plugins"][0]["shells"][0]["report"]).back(), "synthEdit");  // no shells block

    std::string text = json.dump(-1, ' ', false, Json::error_handler_t::replace);
    for (const char* fragment : {
             R"({"format":1,"run":{"started":"2026-12-07T11:39:48Z","seconds":12.75,)",
             R"("stopped":true,"incidents":[{"exitCode":9,"dump":"C:\\Dumps\\a.mdmp",)",
             R"("size":5000000000,"modified":"2026-12-07T11:39:48.1234567Z","status":"failed",)",
             R"("report":{"id":"45464658",)",
             R"("numInputs":2,"numOutputs":-1,"wantsMidi":true,)",
             R"("shells":{"4A3F2B10":"Sub €","00000002":"Second"}})",
             R"("status":"timed out",)",
             R"("status":"crashed","name":"","vendor":"","product":"","error":"",)"
             R"("exitCode":null,"dump":null,"durationMs":0,"shells":[]})",
         })
        EXPECT_NE(text.find(fragment), std::string::npos) << fragment;
}

TEST(Records, AbsentOptionalKeysTakeDefaultsAndUnknownKeysAreIgnored) {
    Json json = Json::parse(R"({"format":1,"run":{},"later":[1],"plugins":[
        {"path":"C:\\A.dll","size":1,"modified":"m","status":"ended","later":{"x":1}}]})");
    host::Results read;
    std::string error;
    ASSERT_TRUE(host::FromJson(json, &read, &error)) << error;
    ASSERT_EQ(read.plugins.size(), 1u);
    EXPECT_EQ(read.plugins[0].status, host::Status::Ended);
    EXPECT_FALSE(read.plugins[0].exitCode.has_value());
    EXPECT_FALSE(read.plugins[0].report.has_value());
    EXPECT_TRUE(read.plugins[0].shells.empty());
    EXPECT_EQ(read.run.scanned, 0);
}

// A valid first record, so that a fault in the second must name its index.
std::string WithPlugin(const std::string& plugin) {
    return R"({"format":1,"run":{},"plugins":[{"path":"C:\\A.dll","size":1,"modified":"m","status":"ok"},)" +
           plugin + "]}";
}

std::string Plugin(const std::string& members) {
    return WithPlugin(R"({"path":"C:\\B.dll","size":1,"modified":"m","status":"ok",)" + members + "}");
}

TEST(Records, RejectedDocumentsNameTheKey) {
    struct Row {
        std::string json;
        const char* reason;
    } rows[] = {
        {"[]", "not an object"},                                             // not an object at all
        {R"({"run":{},"plugins":[]})", "\"format\" is missing"},            // no format
        {R"({"format":2,"run":{},"plugins":[]})", "\"format\" is 2, not 1"},  // a later format
        {R"({"format":"1","run":{},"plugins":[]})", "\"format\" is not"},    // format as text
        {R"({"format":1,"plugins":[]})", "\"run\" is missing"},             // no run
        {R"({"format":1,"run":[],"plugins":[]})", "\"run\" is not an object"},
        {R"({"format":1,"run":{}})", "\"plugins\" is missing"},
        {R"({"format":1,"run":{},"plugins":{}})", "\"plugins\" is not an array"},
        {R"({"format":1,"run":{"seconds":"5"},"plugins":[]})", "run: \"seconds\" is not"},
        {R"({"format":1,"run":{"scanned":2147483648},"plugins":[]})", "run: \"scanned\" is not"},
        {R"({"format":1,"run":{"incidents":[{"suspects":[3]}]},"plugins":[]})",
         "run: incidents[0]: suspects[0] is not a string"},
        {WithPlugin("5"), "plugins[1]: not an object"},
        {WithPlugin(R"({"size":1,"modified":"m","status":"ok"})"), "plugins[1]: \"path\" is missing"},
        {WithPlugin(R"({"path":"C:\\B.dll","modified":"m","status":"ok"})"),
         "plugins[1]: C:\\B.dll: \"size\" is missing"},
        {WithPlugin(R"({"path":"C:\\B.dll","size":1,"status":"ok"})"), "\"modified\" is missing"},
        {WithPlugin(R"({"path":"C:\\B.dll","size":1,"modified":"m"})"), "\"status\" is missing"},
        {Plugin(R"("size":-1)"), "C:\\B.dll: \"size\" is not"},            // negative size
        {Plugin(R"("size":1.5)"), "C:\\B.dll: \"size\" is not"},           // fractional size
        {Plugin(R"("status":"exploded")"), "\"status\" is not a status name: \"exploded\""},
        {Plugin(R"("name":null)"), "\"name\" is not a string"},           // null only where written
        {Plugin(R"("exitCode":"9")"), "\"exitCode\" is not"},
        {Plugin(R"("exitCode":-1)"), "\"exitCode\" is not"},             // exit codes are unsigned
        {Plugin(R"("dump":5)"), "\"dump\" is not a string or null"},
        {Plugin(R"("durationMs":true)"), "\"durationMs\" is not"},
        {Plugin(R"("report":[])"), "C:\\B.dll: \"report\" is not an object"},
        {Plugin(R"("report":{"numInputs":"2"})"), "C:\\B.dll: report: \"numInputs\" is not"},
        {Plugin(R"("report":{"id":45464658})"), "report: \"id\" is not a string"},  // ids stay text
        {Plugin(R"("report":{"shells":["a"]})"), "report: \"shells\" is not an object"},
        {Plugin(R"("report":{"shells":{"00000001":1}})"), "report: shells: \"00000001\" is not"},
        {Plugin(R"("shells":{})"), "C:\\B.dll: \"shells\" is not an array"},
        {Plugin(R"("shells":[{"status":"lost"}])"), "C:\\B.dll: shells[0]: \"status\" is not"},
        {Plugin(R"("shells":[{"report":{"audio64":1}}])"), "shells[0]: report: \"audio64\" is not"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.json);
        Json json = Json::parse(row.json, nullptr, false);
        ASSERT_FALSE(json.is_discarded());
        host::Results read;
        std::string error;
        EXPECT_FALSE(host::FromJson(json, &read, &error));
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    }
}

TEST(Records, StatusesHaveTheirNames) {
    std::pair<host::Status, const char*> rows[] = {
        {host::Status::Ok, "ok"},           {host::Status::Failed, "failed"},
        {host::Status::Crashed, "crashed"}, {host::Status::TimedOut, "timed out"},
        {host::Status::Ended, "ended"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(host::StatusName(row.first), row.second);
        host::Status status = host::Status::Ok;
        EXPECT_TRUE(host::StatusFromName(row.second, &status));
        EXPECT_EQ(status, row.first);
    }
    host::Status status;
    EXPECT_FALSE(host::StatusFromName("Ok", &status));  // names are exact
}

TEST(Records, FileTimeTextKeepsEveryTick) {
    struct Row {
        FILETIME time;
        const char* text;
    } rows[] = {
        {{0, 0}, "1601-01-01T00:00:00.0000000Z"},                      // the start of file time
        {{3577643009u, 27111902}, "1970-01-01T00:00:00.0000001Z"},     // one tick past a second
        {{1733476351u, 31091563}, "2024-02-29T23:59:59.9999999Z"},     // the last tick of a leap day
        {{2849190023u, 31295039}, "2026-12-07T11:39:48.1234567Z"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(host::FileTimeText(row.time), row.text);
}

}  // namespace
