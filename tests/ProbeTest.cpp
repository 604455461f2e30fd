// The probe, through the real server and the test plug-in kit: every branch
// of finding the entry point, checking the AEffect and filling the record.
#include "scan/vst2/Probe.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "server/Architecture.h"
#include "tests/support/ScanSession.h"

namespace {

using testing_support::HasLine;
using testing_support::LogOf;
using testing_support::PluginPath;
using testing_support::PluginRequest;
using testing_support::ReportOf;
using testing_support::ScanSession;

struct VersionCase {
    int32_t value;
    const wchar_t* text;
};

TEST(FormatVendorVersion, FollowsTheRangesOfTheVendorVersionTable) {
    const VersionCase cases[] = {
        {0, L""},                        // no version
        {1, L"1.0.0.0"},                 // a single digit
        {9, L"9.0.0.0"},                 // last single digit
        {-1, L"-1.0.0.0"},               // negatives take the single-digit form
        {10, L"0.0.1.0"},                // first of the four-digit range
        {1000, L"1.0.0.0"},
        {1234, L"1.2.3.4"},
        {9999, L"9.9.9.9"},              // last of the four-digit range
        {10000, L"1.0.0.0"},             // five digits: the units digit is dropped
        {12345, L"1.2.3.4"},
        {65535, L"6.5.5.3"},             // last of the five-digit range
        {65536, L"1.0.0.0"},             // bytes from here
        {0x010203, L"1.2.3.0"},
        {0x64FFFF, L"100.255.255.0"},    // last of the byte range
        {0x650000, L"0.66.19.136"},      // decimal fields from here
        {10203004, L"1.2.3.4"},
        {0x7FFFFFFF, L"214.74.83.647"},  // the largest value
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(c.value);
        CStringW text = FormatVendorVersion(c.value);
        ASSERT_FALSE(text.IsNull());  // prints as text, never "(null)"
        EXPECT_EQ(std::wstring(text), std::wstring(c.text));
    }
}

// The value of one member line of a report: what follows "key": up to the
// line's end, without the trailing comma.
std::string Member(const std::string& report, const std::string& key) {
    std::string marker = "\"" + key + "\":";
    size_t at = report.find("  " + marker);
    if (at == std::string::npos)
        return "<missing>";
    size_t start = report.find_first_not_of(' ', at + 2 + marker.size());
    size_t end = report.find(",\n", start);
    return report.substr(start, end - start);
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

TEST(Probe, AnEffectGivesItsWholeReportAndEveryStepOnTheWire) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::string request = PluginRequest(L"effect.dll");
    std::vector<std::string> lines = session.Scan(request);

    ASSERT_EQ(lines.size(), 24u) << LogOf(lines) << ReportOf(lines);
    EXPECT_EQ(lines[0], "info:Scanning plugin: '" + request + "'\n");
    EXPECT_EQ(lines[1], "info:Loading library...\n");
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("info:Looking for entry point in module [0-9A-F]{16}\n")))
        << lines[2];
    const std::vector<std::string> rest = {
        "info:Found VSTPluginMain()\n",
        "info:Calling entry point...\n",
        "info:Dispatching effClose...\n",
        "info:Freeing library...\n",
        "info:Finished\n",
        ">:{\n",
        ">:  \"id\":        \"45464658\",\n",
        ">:  \"name\":      \"Test Effect\",\n",
        ">:  \"vendor\":    \"Test Vendor\",\n",
        ">:  \"product\":   \"Test Product\",\n",
        ">:  \"version\":   \"1.2.3.4\",\n",
        ">:  \"error\":     \"\",\n",
        ">:  \"numInputs\": 2,\n",
        ">:  \"numOutputs\":2,\n",
        ">:  \"wantsMidi\":  false,\n",
        ">:  \"sendsMidi\": false,\n",
        ">:  \"platform\":  \"" SERVER_ARCHITECTURE_TEXT "\",\n",
        ">:  \"audio64\":   true,\n",
        ">:  \"category\":  1,\n",
        ">:  \"synthEdit\": false,\n",
        ">:}\n",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), rest);
}

// One plug-in of the kit and what its report must say; null fields are not
// checked for that row.
struct ReportCase {
    const wchar_t* plugin;
    const char* name;
    const char* category;
    const char* numInputs;
    const char* wantsMidi;
    const char* sendsMidi;
    const char* version;
    const char* synthEdit;
};

// Checks one member's value; a null expectation is not checked.
void ExpectMember(const std::string& report, const char* key, const char* expected) {
    if (expected) {
        EXPECT_EQ(Member(report, key), expected) << key;
    }
}

TEST(Probe, ReportsWhatEachPluginOfTheKitAnswers) {
    const ReportCase cases[] = {
        // plugin                   name               cat   in   wantsMidi sendsMidi version    synthEdit
        {L"synth.dll", "Test Synth", "2", "0", "true", "false", nullptr, nullptr},  // synth flag beats category 10
        {L"category0_inputs.dll", nullptr, "1", "2", nullptr, nullptr, nullptr, nullptr},    // unknown with inputs: effect
        {L"category0_noinputs.dll", nullptr, "2", "0", nullptr, nullptr, nullptr, nullptr},  // unknown without inputs: synth
        {L"category5.dll", nullptr, "5", nullptr, nullptr, nullptr, nullptr, nullptr},       // other answers stay
        {L"main_only.dll", "Test Plugin", "1", nullptr, nullptr, nullptr, nullptr, nullptr}, // entered through main
        {L"both_entries.dll", "Entered VSTPluginMain", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {L"synthedit.dll", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "true"},   // SE1 resource 165
        {L"want_midi.dll", nullptr, nullptr, nullptr, "true", "false", nullptr, nullptr},   // asked in the entry call
        {L"cando.dll", nullptr, nullptr, nullptr, "true", "true", nullptr, nullptr},        // 0 counts as yes
        {L"version_file.dll", nullptr, nullptr, nullptr, nullptr, nullptr, "1.2.3.4", nullptr},  // file version
        {L"version_both.dll", nullptr, nullptr, nullptr, nullptr, nullptr, "5.6.7.8", nullptr},  // product version first
        {L"version_none.dll", nullptr, nullptr, nullptr, nullptr, nullptr, "", nullptr},         // no version at all
        {L"effect.dll", nullptr, nullptr, nullptr, nullptr, nullptr, "1.2.3.4", nullptr},  // vendor version beats 9.8.7.6
    };
    ScanSession session;
    ASSERT_TRUE(session.started());
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(host::ToUtf8(c.plugin));
        std::vector<std::string> lines = session.Scan(PluginRequest(c.plugin));
        std::string report = ReportOf(lines);
        EXPECT_EQ(Member(report, "error"), "\"\"") << LogOf(lines);
        ExpectMember(report, "name", c.name ? Quoted(c.name).c_str() : nullptr);
        ExpectMember(report, "category", c.category);
        ExpectMember(report, "numInputs", c.numInputs);
        ExpectMember(report, "wantsMidi", c.wantsMidi);
        ExpectMember(report, "sendsMidi", c.sendsMidi);
        ExpectMember(report, "version", c.version ? Quoted(c.version).c_str() : nullptr);
        ExpectMember(report, "synthEdit", c.synthEdit);
        EXPECT_EQ(report.find("\"shells\""), std::string::npos);
    }
}

struct FailureCase {
    const wchar_t* plugin;
    const char* error;
    bool entryCalled;
};

TEST(Probe, RefusesModulesThatAreNotUsablePluginsWithTheirReason) {
    const FailureCase cases[] = {
        {L"jbridge.dll", "Module is a jBridge bootstrap, ignoring", false},  // its entry would fault
        {L"no_entry.dll", "Entry point not found, not a VST plugin", false},
        {L"null_entry.dll", "Entry point returned NULL", true},
        {L"bad_magic.dll", "Bad magic", true},
    };
    ScanSession session;
    ASSERT_TRUE(session.started());
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(host::ToUtf8(c.plugin));
        std::vector<std::string> lines = session.Scan(PluginRequest(c.plugin));
        std::string error = std::string("error:") + c.error + "\n";
        ASSERT_TRUE(HasLine(lines, error)) << LogOf(lines);
        // The error line comes right before the report, after "Finished"
        // (or right after the load for a module never probed).
        size_t at = 0;
        while (lines[at] != error)
            at++;
        EXPECT_EQ(lines[at + 1], ">:{\n");
        EXPECT_EQ(HasLine(lines, "info:Calling entry point...\n"), c.entryCalled);
        EXPECT_FALSE(HasLine(lines, "info:Dispatching effClose...\n"));
        std::string report = ReportOf(lines);
        EXPECT_EQ(Member(report, "error"), Quoted(c.error));
        EXPECT_EQ(Member(report, "id"), "\"00000000\"");
        EXPECT_EQ(Member(report, "category"), "-1");
        EXPECT_EQ(Member(report, "name"), "\"\"");
        EXPECT_TRUE(HasLine(lines, "info:Freeing library...\n"));
        EXPECT_TRUE(HasLine(lines, "info:Finished\n"));
    }
}

TEST(Probe, ListsAShellsSubPluginsOnceEachInTheOrderGiven) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::vector<std::string> lines = session.Scan(PluginRequest(L"shell.dll"));
    std::string log = LogOf(lines);
    EXPECT_NE(log.find("info:Found shell: 00000001 - Shell Sub One\n"
                       "info:Found shell: 00000002 - Shell Sub Two\n"
                       "info:Found shell: 00000001 - Shell Sub One\n"
                       "info:   - duplicate, ignoring\n"
                       "info:Dispatching effClose...\n"
                       "info:Keeping shell library loaded for now...\n"
                       "info:Finished\n"),
              std::string::npos)
        << log;
    std::string report = ReportOf(lines);
    EXPECT_NE(report.find("  \"synthEdit\": false,\n"
                          "  \"shells\": {\n"
                          "        \"00000001\": \"Shell Sub One\",\n"
                          "        \"00000002\": \"Shell Sub Two\",\n"
                          "  },\n"
                          "}\n"),
              std::string::npos)
        << report;
    EXPECT_EQ(Member(report, "category"), "10");
}

TEST(Probe, AShellThatListsNothingWritesAnEmptyBlockAndIsNotKept) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::vector<std::string> lines = session.Scan(PluginRequest(L"empty_shell.dll"));
    std::string report = ReportOf(lines);
    EXPECT_NE(report.find("  \"shells\": {\n  },\n}\n"), std::string::npos) << report;
    EXPECT_TRUE(HasLine(lines, "info:Freeing library...\n"));
    EXPECT_FALSE(HasLine(lines, "info:Keeping shell library loaded for now...\n"));
}

TEST(Probe, AsksOnlyTheCapabilitiesItNeeds) {
    // cando.dll echoes every capability query to the host: an answer of 0
    // to "receiveVstMidiEvent" is a yes, so "receiveVstEvents" is never
    // asked; "sendVstMidiEvent" answers -1, so "sendVstEvents" is.
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::string log = LogOf(session.Scan(PluginRequest(L"cando.dll")));
    EXPECT_NE(log.find("info:Query host can do: 'asked:receiveVstMidiEvent'\n"
                       "info:Query host can do: 'asked:sendVstMidiEvent'\n"
                       "info:Query host can do: 'asked:sendVstEvents'\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("asked:receiveVstEvents"), std::string::npos);
}

TEST(Probe, EscapesWhateverBytesAPluginWritesAndSurvivesLongStrings) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::vector<std::string> lines = session.Scan(PluginRequest(L"strings.dll"));
    std::string report = ReportOf(lines);
    EXPECT_EQ(Member(report, "error"), "\"\"");
    // Every report byte is printable ASCII whatever the plug-in wrote.
    for (char c : report)
        ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << static_cast<int>(c);
    EXPECT_EQ(Member(report, "product"), "\"Prod\\\"uct\\/\\\\\"");
    // The vendor string ran 2000 bytes past the 512 it was given: all of it
    // is taken, up to its NUL, and nothing else is harmed.
    EXPECT_EQ(Member(report, "vendor"), Quoted(std::string(2000, 'V')));
    bool prompted = false;
    session.Scan(PluginRequest(L"effect.dll"), &prompted);
    EXPECT_TRUE(prompted);
}

TEST(Probe, TakesPluginBytesOneByOneWhateverLocaleThePluginSet) {
    // locale_shell.dll switches the shared C runtime to code page 932, in
    // which E9 81 is one character; each byte must still be one.
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::vector<std::string> lines = session.Scan(PluginRequest(L"locale_shell.dll"));
    EXPECT_TRUE(HasLine(lines, "info:Query host can do: 'Caf\xC3\xA9\xC2\x81'\n")) << LogOf(lines);
    EXPECT_TRUE(HasLine(lines, "info:Found shell: 00000005 - Caf\xC3\xA9\xC2\x81\n")) << LogOf(lines);
    EXPECT_NE(ReportOf(lines).find("        \"00000005\": \"Caf\\u00e9\\u0081\",\n"), std::string::npos)
        << ReportOf(lines);
}

TEST(Probe, TellsAPluginTheHostsIdentityAndTheRequestedShellId) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::string report = ReportOf(session.Scan(PluginRequest(L"host_info.dll")));
    EXPECT_EQ(Member(report, "name"), "\"vendor=Greyhaven Software;product=Orvane;vv=3;ver=2400\"");
    report = ReportOf(session.Scan(PluginRequest(L"current_id.dll", ">1A2g7")));
    EXPECT_EQ(Member(report, "name"), "\"id=000001A2\"");
    // Outside a request that names one, the id is 0 again.
    report = ReportOf(session.Scan(PluginRequest(L"current_id.dll")));
    EXPECT_EQ(Member(report, "name"), "\"id=00000000\"");
}

}  // namespace
