// VST3 and CLAP modules through the real server and the kit's fakes: the
// class ids, the whole report and log of each good module, and one clear
// error for each bad one with the server going on.
#include "scan/vst3/Vst3Host.h"

#include <gtest/gtest.h>

#include <algorithm>
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

#if defined(__x86_64__)
#define OWN_BUNDLE_FOLDER "x86_64-win"
#define OTHER_ARCHITECTURE "x86"
#else
#define OWN_BUNDLE_FOLDER "x86-win"
#define OTHER_ARCHITECTURE "x64"
#endif

struct IdCase {
    uint8_t bytes[16];
    const char* text;
};

TEST(Vst3IdText, ReadsTheFirstThreeFieldsLittleEndianAndTheRestInOrder) {
    const IdCase cases[] = {
        // IComponent's interface id as Windows lays it out in memory.
        {{0x31, 0xFF, 0x31, 0xE8, 0xD5, 0xF2, 0x01, 0x43, 0x92, 0x8E, 0xBB, 0xEE, 0x25, 0x69, 0x78, 0x02},
         "E831FF31F2D54301928EBBEE25697802"},
        // FUnknown's: the COM IUnknown.
        {{0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}, "0000000000000000C000000000000046"},
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10},
         "0403020106050807090A0B0C0D0E0F10"},
    };
    for (const IdCase& c : cases) {
        EXPECT_EQ(host::ToUtf8(std::wstring(Vst3IdText(c.bytes))), c.text);
    }
}

const char kGoodVst3Report[] =
    "{\n"
    "  \"format\":       \"VST3\",\n"
    "  \"platform\":     \"" SERVER_ARCHITECTURE_TEXT "\",\n"
    "  \"error\":        \"\",\n"
    "  \"factory\":      \"IPluginFactory3\",\n"
    "  \"vendor\":       \"Fake Vendor\",\n"
    "  \"url\":          \"https:\\/\\/example.invalid\\/fake\",\n"
    "  \"email\":        \"fake@example.invalid\",\n"
    "  \"flags\":        16,\n"
    "  \"classCount\":   2,\n"
    "  \"classes\": [\n"
    "    {\n"
    "      \"cid\":          \"5EC0DE010A0B4C0D8E8F909192939495\",\n"
    "      \"category\":     \"Audio Module Class\",\n"
    "      \"name\":         \"Fake D\\u00e9lai\",\n"
    "      \"subCategories\": \"Fx|Delay\",\n"
    "      \"vendor\":       \"Fake Vendor\",\n"
    "      \"version\":      \"1.2.3\",\n"
    "      \"sdkVersion\":   \"VST 3.7.9\",\n"
    "      \"cardinality\":  2147483647,\n"
    "      \"classFlags\":   1,\n"
    "      \"numInputs\":    2,\n"
    "      \"numOutputs\":   2,\n"
    "      \"wantsMidi\":    false,\n"
    "      \"sendsMidi\":    false,\n"
    "    },\n"
    "    {\n"
    "      \"cid\":          \"5EC0DE021A1B1C1D1E1F202122232425\",\n"
    "      \"category\":     \"Audio Module Class\",\n"
    "      \"name\":         \"Fake Synth\",\n"
    "      \"subCategories\": \"Instrument|Synth\",\n"
    "      \"vendor\":       \"Fake Vendor\",\n"
    "      \"version\":      \"1.2.3\",\n"
    "      \"sdkVersion\":   \"VST 3.7.9\",\n"
    "      \"cardinality\":  2147483647,\n"
    "      \"classFlags\":   1,\n"
    "      \"numInputs\":    0,\n"
    "      \"numOutputs\":   2,\n"
    "      \"wantsMidi\":    true,\n"
    "      \"sendsMidi\":    false,\n"
    "    },\n"
    "  ],\n"
    "}\n";

// The steps of one class's instance, with the calls the fake makes on our
// host context while it initializes.
std::vector<std::string> InstanceSteps(int index) {
    std::string n = std::to_string(index);
    return {
        "info:Creating an instance of class " + n + "...\n",
        "info:Initializing class " + n + "...\n",
        "info:Host context call: queryInterface(58E595CCDB2D49698B6AAF8C36A664E5) - kResultOk\n",
        "info:Host context call: getName\n",
        "info:Host context call: release\n",
        "info:Host context call: queryInterface(E831FF31F2D54301928EBBEE25697802) - kNoInterface\n",
        "info:Reading the buses of class " + n + "...\n",
        "info:Terminating class " + n + "...\n",
        "info:Releasing class " + n + "...\n",
    };
}

TEST(PluginFormats, AGoodVst3ModuleReportsItsClassesFromTheBundleOrTheFileInIt) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    const std::string bundle = PluginRequest(L"vst3\\Good.vst3");
    const std::string binary = bundle + "\\Contents\\" OWN_BUNDLE_FOLDER "\\Good.vst3";
    for (const std::string& request : {bundle, bundle + "\\", binary}) {
        SCOPED_TRACE(request);
        std::vector<std::string> lines = session.Scan(request);
        EXPECT_EQ(ReportOf(lines), kGoodVst3Report) << LogOf(lines);

        std::vector<std::string> expected = {"info:Scanning plugin: '" + request + "'\n"};
        if (request != binary)
            expected.push_back("info:Bundle binary: '" + binary + "'\n");
        for (const char* line : {"info:Loading library...\n", "<module>", "info:Found GetPluginFactory()\n",
                                 "info:Calling InitDll()...\n", "info:Calling GetPluginFactory()...\n",
                                 "info:Asking the factory for IPluginFactory3...\n",
                                 "info:Factory interface: IPluginFactory3\n",
                                 "info:Setting the factory's host context...\n",
                                 "info:Host context call: queryInterface(58E595CCDB2D49698B6AAF8C36A664E5) - kResultOk\n",
                                 "info:Host context call: release\n", "info:Reading the factory info...\n",
                                 "info:Factory counts 2 classes\n",
                                 "info:Class 0: Audio Module Class 'Fake D\\u00e9lai' 5EC0DE010A0B4C0D8E8F909192939495\n"})
            expected.push_back(line);
        for (const std::string& step : InstanceSteps(0))
            expected.push_back(step);
        expected.push_back("info:Class 1: Audio Module Class 'Fake Synth' 5EC0DE021A1B1C1D1E1F202122232425\n");
        for (const std::string& step : InstanceSteps(1))
            expected.push_back(step);
        for (const char* line : {"info:Releasing the factory...\n", "info:Calling ExitDll()...\n",
                                 "info:Freeing library...\n", "info:Finished\n"})
            expected.push_back(line);

        std::vector<std::string> log;
        for (const std::string& line : lines) {
            if (line.rfind(">:", 0) != 0)
                log.push_back(std::regex_match(line, std::regex("info:Looking for VST3 entry points in module [0-9A-F]{16}\n"))
                                  ? "<module>"
                                  : line);
        }
        EXPECT_EQ(log, expected);
    }
}

const char kGoodClapReport[] =
    "{\n"
    "  \"format\":       \"CLAP\",\n"
    "  \"platform\":     \"" SERVER_ARCHITECTURE_TEXT "\",\n"
    "  \"error\":        \"\",\n"
    "  \"clapVersion\":  \"1.2.0\",\n"
    "  \"classCount\":   2,\n"
    "  \"classes\": [\n"
    "    {\n"
    "      \"id\":           \"org.example.fake-delay\",\n"
    "      \"name\":         \"Fake Clap Delay\",\n"
    "      \"vendor\":       \"Fake Vendor\",\n"
    "      \"version\":      \"1.0.0\",\n"
    "      \"description\":  \"A delay that \\\"delays\\\" nothing\",\n"
    "      \"url\":          \"https:\\/\\/example.invalid\\/delay\",\n"
    "      \"manualUrl\":    \"https:\\/\\/example.invalid\\/delay\\/manual\",\n"
    "      \"supportUrl\":   \"https:\\/\\/example.invalid\\/support\",\n"
    "      \"features\":     \"audio-effect|delay|stereo\",\n"
    "      \"numInputs\":    2,\n"
    "      \"numOutputs\":   2,\n"
    "      \"wantsMidi\":    false,\n"
    "      \"sendsMidi\":    false,\n"
    "    },\n"
    "    {\n"
    "      \"id\":           \"org.example.fake-synth\",\n"
    "      \"name\":         \"Fake Clap Synth\",\n"
    "      \"vendor\":       \"Fake Vendor\",\n"
    "      \"version\":      \"2.0\",\n"
    "      \"description\":  \"\",\n"
    "      \"url\":          \"\",\n"
    "      \"manualUrl\":    \"\",\n"
    "      \"supportUrl\":   \"\",\n"
    "      \"features\":     \"instrument|synthesizer|stereo\",\n"
    "      \"numInputs\":    0,\n"
    "      \"numOutputs\":   2,\n"
    "      \"wantsMidi\":    true,\n"
    "      \"sendsMidi\":    false,\n"
    "    },\n"
    "  ],\n"
    "}\n";

std::vector<std::string> ClapInstanceSteps(int index, const std::string& id, const std::string& name) {
    std::string n = std::to_string(index);
    return {
        "info:Plugin " + n + ": '" + id + "' '" + name + "'\n",
        "info:Creating plugin " + n + "...\n",
        "info:Calling init() of plugin " + n + "...\n",
        "info:Host call: get_extension('clap.log') - NULL\n",
        "info:Host call: request_callback\n",
        "info:Reading the ports of plugin " + n + "...\n",
        "info:Destroying plugin " + n + "...\n",
    };
}

TEST(PluginFormats, AGoodClapModuleReportsItsPluginsAndEveryStep) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    const std::string request = PluginRequest(L"clap\\Good.clap");
    std::vector<std::string> lines = session.Scan(request);
    EXPECT_EQ(ReportOf(lines), kGoodClapReport) << LogOf(lines);

    std::vector<std::string> expected = {"info:Scanning plugin: '" + request + "'\n", "info:Loading library...\n",
                                         "<module>", "info:Found clap_entry, CLAP version 1.2.0\n",
                                         "info:Calling clap_entry.init()...\n",
                                         "info:Calling clap_entry.get_factory()...\n",
                                         "info:Factory counts 2 plugins\n"};
    for (const std::string& step : ClapInstanceSteps(0, "org.example.fake-delay", "Fake Clap Delay"))
        expected.push_back(step);
    for (const std::string& step : ClapInstanceSteps(1, "org.example.fake-synth", "Fake Clap Synth"))
        expected.push_back(step);
    for (const char* line : {"info:Calling clap_entry.deinit()...\n", "info:Freeing library...\n", "info:Finished\n"})
        expected.push_back(line);
    std::vector<std::string> log;
    for (const std::string& line : lines) {
        if (line.rfind(">:", 0) != 0)
            log.push_back(std::regex_match(line, std::regex("info:Looking for clap_entry in module [0-9A-F]{16}\n"))
                              ? "<module>"
                              : line);
    }
    EXPECT_EQ(log, expected);
}

// The report's form of a text: JSON-escaped as the server escapes it.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"' || c == '/')
            out += '\\';
        out += c;
    }
    return out;
}

// One bad module, the error it must get (null: none) and a line that must
// come with it (null: none).
struct BadCase {
    const wchar_t* plugin;
    const char* error;
    const char* alsoLine;
};

TEST(PluginFormats, EachBadModuleGetsOneClearErrorAndTheServerGoesOn) {
    const BadCase cases[] = {
        {L"vst3\\InitFalse.vst3", "InitDll returned false", nullptr},
        {L"vst3\\NullFactory.vst3", "GetPluginFactory returned NULL", "info:Calling ExitDll()...\n"},
        {L"vst3\\ManyClasses.vst3", "The factory counts 2000000 classes: only the first 1000 are read",
         "info:Class 999: Component Controller Class 'Fake Controller' 5EC0DE030000000000000000E7030000\n"},
        {L"vst3\\ShortList.vst3", "Class 3 of 5 could not be read: getClassInfo answered 0x80070057",
         "warn:Class 4 of 5 could not be read: getClassInfo answered 0x80070057\n"},
        {L"vst3\\ZeroCid.vst3", "Class 1 ('Fake Synth') has a class id of all zeros", nullptr},
        {L"vst3\\Latin1Name.vst3", nullptr, "warn:Class 0: text that is not UTF-8, taken byte by byte\n"},
        {L"vst3\\OtherArchitecture.vst3",
         "The bundle has no binary for " SERVER_ARCHITECTURE_TEXT " (Contents\\" OWN_BUNDLE_FOLDER
         "\\OtherArchitecture.vst3); it has one for " OTHER_ARCHITECTURE,
         nullptr},
        {L"vst3\\NotVst3.vst3", "GetPluginFactory not found, not a VST3 module", nullptr},
        {L"vst3\\Missing.vst3", "Failed to load library, err=126", nullptr},
        {L"clap\\InitFalse.clap", "clap_entry.init returned false", nullptr},
        {L"clap\\Version0.clap", "CLAP version 0.2.0 is not a release, refused", nullptr},
        {L"clap\\BadDescriptors.clap", "Descriptor 1 of 4 is NULL",
         "warn:Descriptor 2 ('org.example.nulls') has no name\n"},
        {L"clap\\ManyPlugins.clap", "The factory counts 2000000 plugins: only the first 1000 are read",
         "info:Destroying plugin 999...\n"},
        {L"clap\\NotClap.clap", "clap_entry not found, not a CLAP plugin", nullptr},
    };
    ScanSession session;
    ASSERT_TRUE(session.started());
    for (const BadCase& c : cases) {
        SCOPED_TRACE(host::ToUtf8(c.plugin));
        bool prompted = false;
        std::vector<std::string> lines = session.Scan(PluginRequest(c.plugin), &prompted);
        ASSERT_TRUE(prompted) << LogOf(lines);
        std::string report = ReportOf(lines);
        std::string error = c.error ? c.error : "";
        EXPECT_NE(report.find("  \"error\":        \"" + Escaped(error) + "\",\n"), std::string::npos) << report;
        size_t errors = 0;
        for (size_t i = 0; i < lines.size(); i++) {
            if (lines[i].rfind("error:", 0) == 0) {
                errors++;
                EXPECT_EQ(lines[i], "error:" + error + "\n");
                // Right before the report, as for VST 2.
                ASSERT_LT(i + 1, lines.size());
                EXPECT_EQ(lines[i + 1], ">:{\n");
            }
        }
        EXPECT_EQ(errors, c.error ? 1u : 0u) << LogOf(lines);
        if (c.alsoLine) {
            EXPECT_TRUE(HasLine(lines, c.alsoLine)) << LogOf(lines);
        }
        EXPECT_EQ(std::count(lines.begin(), lines.end(), ">:{\n"), 1);
    }
    // What the server went on to serve is whole: a VST 2 plug-in's report
    // and a good module's.
    std::vector<std::string> lines = session.Scan(PluginRequest(L"effect.dll"));
    EXPECT_NE(ReportOf(lines).find("  \"name\":      \"Test Effect\",\n"), std::string::npos) << ReportOf(lines);
    EXPECT_EQ(ReportOf(session.Scan(PluginRequest(L"clap\\Good.clap"))), kGoodClapReport);
}

TEST(PluginFormats, OlderFactoriesGiveWhatTheirClassInfoHoldsAndOddTextIsTakenByteByByte) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    // PClassInfo only: a UTF-8 name, and nothing of what PClassInfo2 adds.
    std::string report = ReportOf(session.Scan(PluginRequest(L"vst3\\PlainFactory.vst3")));
    EXPECT_NE(report.find("  \"factory\":      \"IPluginFactory\",\n"), std::string::npos) << report;
    EXPECT_NE(report.find("      \"name\":         \"Fake D\\u00e9lai\",\n"
                          "      \"subCategories\": \"\",\n"
                          "      \"vendor\":       \"\",\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("      \"classFlags\":   0,\n      \"numInputs\":    2,\n"), std::string::npos) << report;
    // PClassInfo2 with a name in ISO 8859-1.
    report = ReportOf(session.Scan(PluginRequest(L"vst3\\Latin1Name.vst3")));
    EXPECT_NE(report.find("  \"factory\":      \"IPluginFactory2\",\n"), std::string::npos) << report;
    EXPECT_NE(report.find("      \"name\":         \"Caf\\u00e9 Delay\",\n"), std::string::npos) << report;
    EXPECT_NE(report.find("      \"subCategories\": \"Fx|Delay\",\n"), std::string::npos) << report;
    report = ReportOf(session.Scan(PluginRequest(L"clap\\BadDescriptors.clap")));
    EXPECT_NE(report.find("      \"name\":         \"Caf\\u00e9 Synth\",\n"), std::string::npos) << report;
    for (char c : report)
        ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << static_cast<int>(c);
}

}  // namespace
