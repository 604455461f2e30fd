#include "host/engine/records/Records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using host::Json;
using host::Status;

// Every field away from its default, so that a field lost on the way back
// shows. Fields in declaration order.
host::Results FullResults() {
    host::Report report = {"45464658", "Shell \xE6\x97\xA5", "Vendor \xC3\xA9", "Suite", "1.2.3.4",
                           "odd", 2, -1, true, true, "x64", true, 10, true, true,
                           {{"4A3F2B10", "Sub \xE2\x82\xAC"}, {"00000002", "Second"}}, {}, {}, {}, {}, 0, {}, 0, {}};
    host::Report subReport = {"4A3F2B10", "Sub", "V", "P", "1", "", 0, 2, false, true, "x64",
                              false, 1, false, false, {}, {}, {}, {}, {}, 0, {}, 0, {}};
    host::Fault hang = {"hang", 0, "", "", 0x7FF612340000ull, "Sub.dll", 0x1234, "", true,
                        "hung in Sub.dll", true, {}};
    host::Fault crash = {"crash", 0xC0000005u, "access violation", "writing 0x0", 0x180001000ull,
                         "", 0, "Gone.dll", false, "access violation in Gone.dll, since unloaded", true,
                         {"Gone.dll+0x1000", "Foo.dll!VSTPluginMain+0x52"}};
    // Only an exit code tells of it: no address, module or thread.
    host::Fault exitOnly = {"crash", 0xC0000409u, "stack buffer overrun (fast fail)", "", 0, "", 0, "",
                            false, "stack buffer overrun (fast fail), exit code 0xC0000409", false, {}};
    host::ShellRecord sub;
    static_cast<host::ScanResult&>(sub) = {Status::TimedOut, "Sub \xE2\x82\xAC", "Maker", "Suite",
                                           "timed out", 1u, "C:\\Dumps\\c.mdmp", 30000, hang,
                                           false, {{"Licence", {"Enter your key", "OK"}, "pressed OK"}},
                                           "printed\n", {"info:Calling entry point..."}, subReport,
                                           "", {}, ""};
    sub.id = "4A3F2B10";
    host::PluginRecord shell;
    static_cast<host::ScanResult&>(shell) = {Status::Failed, "Shell \xE6\x97\xA5", "Maker", "Suite",
                                             "Bad magic", 3221225477u, "C:\\Dumps\\b.mdmp", 1234,
                                             crash, true, {}, "", {}, report,
                                             "missing function", {"Core.dll", "Lib.dll!Fn"}, "VST3"};
    shell.path = "C:\\VST\\Sh\xC3\xA9ll.dll";
    shell.size = 5000000000ull;
    shell.modified = "2026-12-07T11:39:48.1234567Z";
    shell.platform = "x86";
    shell.shells = {sub};
    host::PluginRecord crashed;
    crashed.path = "C:\\VST\\Crash.dll>00000001";
    crashed.modified = "1601-01-01T00:00:00.0000000Z";
    crashed.status = Status::Crashed;

    host::Results results;
    results.run = {"2026-12-07T11:39:48Z", "0.4.0", 12.75, 3, 1, 1, true, 4, {}};
    results.run.incidents.push_back({9u, "C:\\D\\a.mdmp", "C:\\VST\\B.dll", {"C:\\VST\\A.dll"},
                                     "the server crashed", exitOnly, "C:\\VST\\A.dll",
                                     {"dump: the fault lies in Gone.dll"}, {}});
    // Modules: a VST3 class with an instance read and one without, and a
    // CLAP descriptor, each with the report it came from.
    host::Report vst3Report;
    vst3Report.format = "VST3";
    vst3Report.platform = "x64";
    vst3Report.error = "Class 2 ('Bus'): initialize answered 0x80004005";
    vst3Report.factory = "IPluginFactory3";
    vst3Report.vendor = "Maker";
    vst3Report.url = "https://example.invalid";
    vst3Report.email = "m@example.invalid";
    vst3Report.flags = 16;
    vst3Report.classCount = 3;
    host::ReportClass delay;
    delay.id = "5EC0DE010A0B4C0D8E8F909192939495";
    delay.category = "Audio Module Class";
    delay.name = "D\xC3\xA9lai";
    delay.subCategories = "Fx|Delay";
    delay.sdkVersion = "VST 3.7.9";
    delay.cardinality = 0x7FFFFFFF;
    delay.classFlags = 1;
    delay.placed = true;
    delay.numInputs = 2;
    delay.numOutputs = 6;
    delay.sendsMidi = true;
    host::ReportClass bus = delay;
    bus.id = "00000000000000000000000000000001";
    bus.placed = false;
    host::ReportClass controller = bus;
    controller.category = "Component Controller Class";
    vst3Report.classes = {delay, bus, controller};
    host::PluginRecord vst3;
    vst3.path = "C:\\VST3\\D\xC3\xA9lai.vst3";
    vst3.format = "VST3";
    vst3.report = vst3Report;
    vst3.classes = host::ClassesOf(vst3Report);
    vst3.classes.at(0).replaces = {"56535441424344646C61790000000000"};
    vst3.moduleInfo = host::FileStamp{77, "2026-12-07T11:39:48.0000001Z"};
    host::Report clapReport;
    clapReport.format = "CLAP";
    clapReport.clapVersion = "1.2.0";
    clapReport.classCount = 1;
    host::ReportClass synth;
    synth.id = "com.example.synth";
    synth.name = "Synth";
    synth.features = "instrument|synthesizer";
    synth.description = "d";
    synth.url = "u";
    synth.manualUrl = "m";
    synth.supportUrl = "s";
    synth.placed = true;
    synth.wantsMidi = true;
    clapReport.classes = {synth};
    host::PluginRecord clap;
    clap.path = "C:\\CLAP\\Synth.clap";
    clap.format = "CLAP";
    clap.report = clapReport;
    clap.classes = host::ClassesOf(clapReport);

    results.plugins = {shell, crashed, vst3, clap};
    return results;
}

std::vector<std::string> KeysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& member : object.items())
        keys.push_back(member.key());
    return keys;
}

TEST(Records, ResultsSurviveTheTextFormUnchanged) {
    host::Results original = FullResults();
    std::string text = host::ToJson(original).dump(2, ' ', false, Json::error_handler_t::replace);
    host::Results read;
    std::string error;
    ASSERT_TRUE(host::FromJson(Json::parse(text, nullptr, false), &read, &error)) << error;
    EXPECT_EQ(host::ToJson(read).dump(2), host::ToJson(original).dump(2));
    // The comparison above goes through ToJson; these do not.
    ASSERT_EQ(read.plugins.size(), 4u);
    ASSERT_EQ(read.plugins[2].classes.size(), 2u);
    EXPECT_EQ(read.plugins[2].classes[0].outputs, 6);
    EXPECT_FALSE(read.plugins[2].classes[1].inputs.has_value());
    EXPECT_TRUE(read.plugins[2].report->classes.at(0).placed);
    EXPECT_FALSE(read.plugins[2].report->classes.at(1).placed);
    EXPECT_EQ(read.plugins[2].report->classes.size(), 3u);
    EXPECT_EQ(read.plugins[3].classes.at(0).midiIn, true);
    EXPECT_EQ(read.plugins[0].shells.at(0).status, Status::TimedOut);
    EXPECT_EQ(read.plugins[0].report->shells.at(1).name, "Second");
    EXPECT_FALSE(read.plugins[1].exitCode || read.plugins[1].report);

    // The least a record needs; keys a later scanner may add are ignored.
    Json least = Json::parse(R"({"format":1,"run":{},"later":[1],"plugins":[
        {"path":"C:\\A.dll","size":1,"modified":"m","status":"ended","later":{}}]})",
                             nullptr, false);
    ASSERT_TRUE(host::FromJson(least, &read, &error)) << error;
    ASSERT_EQ(read.plugins.size(), 1u);
    EXPECT_EQ(read.plugins[0].status, Status::Ended);
    EXPECT_FALSE(read.plugins[0].exitCode || read.plugins[0].report);
}

TEST(Records, JsonHasTheDocumentedKeysInOrderAndTypes) {
    Json json = host::ToJson(FullResults());
    using Keys = std::vector<std::string>;
    EXPECT_EQ(KeysOf(json), (Keys{"format", "run", "plugins"}));
    EXPECT_EQ(KeysOf(json["run"]), (Keys{"started", "version", "seconds", "scanned", "fromCache",
                                         "skipped", "stopped", "servers", "incidents"}));
    EXPECT_EQ(KeysOf(json["run"]["incidents"][0]),
              (Keys{"exitCode", "dump", "during", "suspects", "reason", "fault", "culprit", "tried"}));
    EXPECT_EQ(KeysOf(json["plugins"][0]),
              (Keys{"path", "size", "modified", "platform", "status", "name", "vendor", "product",
                    "error", "reason", "missing", "format", "exitCode", "dump", "durationMs", "fault",
                    "afterReport", "dialogs", "output",
                    "log", "report", "shells", "classes", "moduleInfo"}));
    EXPECT_EQ(KeysOf(json["plugins"][2]["classes"][0]),
              (Keys{"id", "name", "vendor", "version", "category", "inputs", "outputs", "midiIn", "midiOut",
                    "replaces", "sdkVersion", "classFlags", "cardinality"}));
    EXPECT_EQ(KeysOf(json["plugins"][3]["classes"][0]),
              (Keys{"id", "name", "vendor", "version", "category", "inputs", "outputs", "midiIn", "midiOut",
                    "replaces", "description", "url", "manualUrl", "supportUrl"}));
    EXPECT_EQ(KeysOf(json["plugins"][2]["report"]),
              (Keys{"format", "platform", "error", "factory", "vendor", "url", "email", "flags", "classCount",
                    "classes"}));
    EXPECT_EQ(KeysOf(json["plugins"][2]["report"]["classes"][0]),
              (Keys{"cid", "category", "name", "subCategories", "vendor", "version", "sdkVersion", "cardinality",
                    "classFlags", "numInputs", "numOutputs", "wantsMidi", "sendsMidi"}));
    EXPECT_EQ(KeysOf(json["plugins"][3]["report"]),
              (Keys{"format", "platform", "error", "clapVersion", "classCount", "classes"}));
    EXPECT_EQ(KeysOf(json["plugins"][0]["shells"][0]),
              (Keys{"id", "name", "status", "vendor", "product", "error", "reason", "missing",
                    "format", "exitCode", "dump",
                    "durationMs", "fault", "afterReport", "dialogs", "output", "log", "report"}));
    EXPECT_EQ(KeysOf(json["plugins"][0]["fault"]),
              (Keys{"kind", "code", "name", "access", "address", "module", "offset",
                    "unloadedModule", "thread", "text", "stack"}));
    EXPECT_EQ(KeysOf(json["plugins"][0]["report"]),
              (Keys{"id", "name", "vendor", "product", "version", "error", "numInputs",
                    "numOutputs", "wantsMidi", "sendsMidi", "platform", "audio64", "category",
                    "synthEdit", "shells"}));

    std::string text = json.dump(-1, ' ', false, Json::error_handler_t::replace);
    for (const char* fragment : {
             R"({"format":1,"run":{"started":"2026-12-07T11:39:48Z","version":"0.4.0","seconds":12.75,)",
             R"("stopped":true,"servers":4,"incidents":[{"exitCode":9,"dump":"C:\\D\\a.mdmp",)",
             R"("size":5000000000,"modified":"2026-12-07T11:39:48.1234567Z","platform":"x86",)"
             R"("status":"failed",)",
             R"("report":{"id":"45464658",)",
             R"("status":"timed out",)",
             R"("numInputs":2,"numOutputs":-1,"wantsMidi":true,)",
             R"("shells":{"4A3F2B10":"Sub €","00000002":"Second"}})",
             R"("status":"crashed","name":"","vendor":"","product":"","error":"",)"
             R"("reason":null,"missing":[],"format":null,"exitCode":null,"dump":null,"durationMs":0,"fault":null,"afterReport":false,)"
             R"("dialogs":[],"output":"","log":[],"shells":[],"classes":[],"moduleInfo":null})",
             R"("fault":{"kind":"crash","code":"0xC0000005","name":"access violation",)"
             R"("access":"writing 0x0","address":"0x0000000180001000","module":"","offset":"0x0",)"
             R"("unloadedModule":"Gone.dll","thread":"other",)",
             R"("error":"Bad magic","reason":"missing function","missing":["Core.dll","Lib.dll!Fn"],"format":"VST3",)",
             R"("stack":["Gone.dll+0x1000","Foo.dll!VSTPluginMain+0x52"]})",
             R"("unloadedModule":"","thread":"unknown",)",
             R"("dialogs":[{"title":"Licence","texts":["Enter your key","OK"],"answer":"pressed OK"}])",
             // Only audio module classes are plug-ins; one without an instance read has null places.
             R"("classes":[{"id":"5EC0DE010A0B4C0D8E8F909192939495","name":"Délai","vendor":"","version":"",)"
             R"("category":"Fx|Delay","inputs":2,"outputs":6,"midiIn":false,"midiOut":true,)",
             R"("inputs":null,"outputs":null,"midiIn":null,"midiOut":null,"replaces":[],)",
             R"("moduleInfo":{"size":77,"modified":"2026-12-07T11:39:48.0000001Z"}})",
             R"("category":"instrument|synthesizer","inputs":0,"outputs":0,"midiIn":true,"midiOut":false,)",
         })
        EXPECT_NE(text.find(fragment), std::string::npos) << fragment;
}

// After a valid first record, so that a fault in the second must name its
// index. A member given again replaces the first, as the parser keeps the
// last of equal keys.
std::string Plugin(const std::string& members) {
    return R"({"format":1,"run":{},"plugins":[)"
           R"({"path":"C:\\A.dll","size":1,"modified":"m","status":"ok"},{)" +
           members + "}]}";
}

std::string PluginB(const std::string& members) {
    return Plugin(R"("path":"C:\\B.dll","size":1,"modified":"m","status":"ok",)" + members);
}

TEST(Records, RejectedDocumentsNameTheKey) {
    struct Row {
        std::string json;
        const char* reason;
    } rows[] = {
        {R"({"run":{},"plugins":[]})", "\"format\" is missing"},
        {R"({"format":2,"run":{},"plugins":[]})", "\"format\" is 2, not 1"},  // a later scanner
        {R"({"format":1,"plugins":[]})", "\"run\" is missing"},
        {R"({"format":1,"run":{},"plugins":{}})", "\"plugins\" is not an array"},
        {R"({"format":1,"run":{"incidents":[{"suspects":[3]}]},"plugins":[]})",
         "run: incidents[0]: suspects[0] is not a string"},
        {Plugin(R"("size":1,"modified":"m","status":"ok")"), "plugins[1]: \"path\" is missing"},
        {Plugin(R"("path":"C:\\B.dll","modified":"m","status":"ok")"),
         "plugins[1]: C:\\B.dll: \"size\" is missing"},
        {Plugin(R"("path":"C:\\B.dll","size":1,"status":"ok")"), "\"modified\" is missing"},
        {Plugin(R"("path":"C:\\B.dll","size":1,"modified":"m")"), "\"status\" is missing"},
        {PluginB(R"("size":-1)"), "\"size\" is not"},                       // sizes are unsigned
        {PluginB(R"("status":"Ok")"), "\"status\" is not a status name: \"Ok\""},  // names exact
        {PluginB(R"("name":null)"), "\"name\" is not a string"},  // null only where written
        {PluginB(R"("exitCode":-1)"), "\"exitCode\" is not"},
        {PluginB(R"("report":{"id":45464658})"), "C:\\B.dll: report: \"id\" is not a string"},
        {PluginB(R"("report":{"shells":{"00000001":1}})"), "report: shells: \"00000001\" is not"},
        {PluginB(R"("shells":{})"), "\"shells\" is not an array"},
        {PluginB(R"("shells":[{"report":{"audio64":1}}])"), "shells[0]: report: \"audio64\""},
        {PluginB(R"("classes":[{"id":"x","inputs":"2"}])"), "classes[0]: \"inputs\" is not a 32-bit integer or null"},
        {PluginB(R"("classes":[{"name":"x"}])"), "classes[0]: \"id\" is missing"},
        {PluginB(R"("moduleInfo":{"size":1})"), "moduleInfo: \"modified\" is missing"},
        {PluginB(R"("report":{"format":"VST3","classes":[{"cid":1}]})"), "report: classes[0]: \"cid\" is not a string"},
    };
    for (const Row& row : rows) {
        Json json = Json::parse(row.json, nullptr, false);
        ASSERT_FALSE(json.is_discarded()) << row.json;
        host::Results read;
        std::string error;
        EXPECT_FALSE(host::FromJson(json, &read, &error)) << row.json;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.json << "\n" << error;
    }
}

TEST(Records, FileTimeTextKeepsEveryTick) {
    struct Row {
        FILETIME time;
        const char* text;
    } rows[] = {
        {{0, 0}, "1601-01-01T00:00:00.0000000Z"},                   // the start of file time
        {{3577643009u, 27111902}, "1970-01-01T00:00:00.0000001Z"},  // one tick past a second
        {{1733476351u, 31091563}, "2024-02-29T23:59:59.9999999Z"},  // a leap day's last tick
        {{2849190023u, 31295039}, "2026-12-07T11:39:48.1234567Z"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(host::FileTimeText(row.time), row.text);
}

}  // namespace
