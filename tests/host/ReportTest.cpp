// The report parser: the reports the real server sends for the plug-in
// kit, the escapes reversed exactly, and broken reports refused by line.
#include "host/engine/wire/Report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/ScanSession.h"

namespace {

using host::ParseReport;
using host::Report;
using testing_support::PluginRequest;
using testing_support::ReportOf;
using testing_support::ScanSession;

// effect.dll's report as the server writes it; the tables below change it.
const std::string kEffectReport = R"({
  "id":        "45464658",
  "name":      "Test Effect",
  "vendor":    "Test Vendor",
  "product":   "Test Product",
  "version":   "1.2.3.4",
  "error":     "",
  "numInputs": 2,
  "numOutputs":2,
  "wantsMidi":  false,
  "sendsMidi": false,
  "platform":  "x64",
  "audio64":   true,
  "category":  1,
  "synthEdit": false,
}
)";

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Every field in one line, so that a mismatch shows them side by side.
std::string Fields(const Report& r) {
    std::string text = r.id + "|" + r.name + "|" + r.vendor + "|" + r.product + "|" + r.version +
                       "|" + r.error + "|" + std::to_string(r.numInputs) + "|" +
                       std::to_string(r.numOutputs) + "|" + "01"[r.wantsMidi] + "01"[r.sendsMidi] +
                       "|" + r.platform + "|" + "01"[r.audio64] + "|" + std::to_string(r.category) +
                       "|" + "01"[r.synthEdit] + "|" + (r.hasShells ? "shells" : "-");
    for (const host::ReportShell& shell : r.shells)
        text += "|" + shell.id + "=" + shell.name;
    return text;
}

std::string ParsedFields(const std::string& text) {
    Report report;
    std::string error;
    if (!ParseReport(text, &report, &error))
        return "error: " + error;
    return Fields(report);
}

std::string ScannedFields(ScanSession& session, const std::string& request) {
    return ParsedFields(ReportOf(session.Scan(request)));
}

TEST(ParseReport, ReadsWhatTheServerReportsForThePluginKit) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    EXPECT_EQ(ScannedFields(session, PluginRequest(L"effect.dll")),
              "45464658|Test Effect|Test Vendor|Test Product|1.2.3.4||2|2|00|x64|1|1|0|-");
    // Each byte of the name is one character: E9 is U+00E9, 01 is U+0001.
    EXPECT_EQ(ScannedFields(session, PluginRequest(L"strings.dll")),
              "54455354|Caf\xC3\xA9 \"Quote\" Back\\slash So/lidus Tab\tCtl\x01" "End|" +
                  std::string(2000, 'V') + "|Prod\"uct/\\|||2|2|00|x64|0|1|0|-");
    // Listed once each in the order given, the repeated 1 dropped.
    EXPECT_EQ(ScannedFields(session, PluginRequest(L"shell.dll")),
              "54455354|Test Plugin|Test Vendor|Test Product|||2|2|00|x64|0|10|0|shells|"
              "00000001=Shell Sub One|00000002=Shell Sub Two");
    EXPECT_EQ(ScannedFields(session, PluginRequest(L"locale_shell.dll")),
              "54455354|Test Plugin|Test Vendor|Test Product|||2|2|00|x64|0|10|0|shells|"
              "00000005=Caf\xC3\xA9\xC2\x81");
    EXPECT_EQ(ScannedFields(session, PluginRequest(L"missing.dll")),
              "00000000|||||Failed to load library, err=126|0|0|00|x64|0|-1|0|-");
}

TEST(ParseReport, ReversesEachEscapeAndJoinsOnlyTrueSurrogatePairs) {
    struct Case {
        const char* escaped;
        std::string text;
    };
    const Case cases[] = {
        {R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t"},           // the short escapes
        {R"(\u0041\u007f)", "A\x7F"},                         // ASCII by number
        {R"(\u00e9\u00E9)", "\xC3\xA9\xC3\xA9"},              // either case of hex
        {R"(\u20ac\uffff)", "\xE2\x82\xAC\xEF\xBF\xBF"},      // three UTF-8 bytes each
        {R"(\u0000)", std::string(1, '\0')},                  // NUL is kept
        {R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},              // a pair: one character
        {R"(\uDBFF\uDFFF)", "\xF4\x8F\xBF\xBF"},              // the last pair, in upper case
        {R"(x\ud83d)", "x\xEF\xBF\xBD"},                      // high half at the end
        {R"(\ude00x)", "\xEF\xBF\xBDx"},                      // low half alone
        {R"(\ude00\ud83d)", "\xEF\xBF\xBD\xEF\xBF\xBD"},      // halves in the wrong order
        {R"(\ud83d\ud83d\ude00)", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},  // lone high, then a pair
        {R"(\ud83d\n)", "\xEF\xBF\xBD\n"},                    // high half before a short escape
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.escaped);
        Report report;
        std::string error;
        std::string text = Replaced(kEffectReport, "Test Effect", c.escaped);
        ASSERT_TRUE(ParseReport(text, &report, &error)) << error;
        EXPECT_EQ(report.name, c.text);
    }
}

TEST(ParseReport, SkipsUnknownMembersAndTakesAnySpacingAndCommaStyle) {
    const std::string expected = ParsedFields(kEffectReport);
    ASSERT_EQ(expected.rfind("45464658|", 0), 0u) << expected;
    std::string crlf;
    for (char c : kEffectReport)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string r = kEffectReport;
    const std::string variants[] = {
        crlf,                                                   // CR LF line ends
        Replaced(r, "false,\n}", "false\n}"),                   // no comma after the last member
        Replaced(r, "{\n  \"id\"", " \t{\"id\""),               // tabs and no line break
        Replaced(r, "\"error\"", "\"later\": {\"a\": [1, -2.5e+3, \"}\\\"]\", true, null, {},],"
                                 " \"b\": {}}, \"error\""),     // unknown values of every kind
        Replaced(r, "\"error\"", "\"n\": " + std::string(31, '[') + std::string(31, ']') +
                                     ", \"error\""),            // 32 levels with the report
    };
    for (const std::string& text : variants) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ParsedFields(text), expected);
    }
    std::string extremes = Replaced(r, "Inputs\": 2", "Inputs\": -2147483648");
    EXPECT_EQ(ParsedFields(Replaced(extremes, "Outputs\":2", "Outputs\":2147483647")),
              "45464658|Test Effect|Test Vendor|Test Product|1.2.3.4||-2147483648|2147483647|00|"
              "x64|1|1|0|-");
}

TEST(ParseReport, RefusesABrokenReportNamingTheLineAndWhatWasExpected) {
    struct Case {
        std::string text;
        int line;  // 0: the message names none
        const char* error;
    };
    const std::string r = kEffectReport;
    const char* kCut = "report ends before its closing brace";
    const Case cases[] = {
        {" \n", 0, "report is empty"},
        {Replaced(r, "{\n", ""), 1, "expected '{' to open the report"},
        {Replaced(r, "}\n", ""), 0, kCut},
        {r.substr(0, r.find("Effect")), 0, kCut},                      // cut in a string
        {r.substr(0, r.find("rue,")), 0, kCut},                        // cut in "true"
        {Replaced(r, "  \"category\":  1,\n", ""), 0, "report lacks \"category\""},
        {Replaced(r, "}\n", "\"name\": \"Again\",\n}"), 16, "\"name\" appears twice"},
        {Replaced(r, "Outputs\":2", "Outputs\":\"2\""), 9, "expected a number for \"numOutputs\""},
        {Replaced(r, ": 2,", ": 2.5,"), 8, "expected a whole number for \"numInputs\""},
        {Replaced(r, "Inputs\": 2", "Inputs\": 2147483648"), 8,
         "the number for \"numInputs\" does not fit in 32 bits"},
        {Replaced(r, "\":  false", "\":  0"), 10, "expected true or false for \"wantsMidi\""},
        {Replaced(r, "\"Test Effect\"", "null"), 3, "expected a string for \"name\""},
        {Replaced(r, "Test Effect", "\\q"), 3, "unknown escape \\q in the string for \"name\""},
        {Replaced(r, "Test Effect", "\\u00g9"), 3,
         "expected four hexadecimal digits after \\u in the string for \"name\""},
        {Replaced(r, "Vendor", "\xC3\xA9"), 4, "raw byte 0xC3 in the string for \"vendor\""},
        {Replaced(r, "Effect\"", "Effect"), 3, "the string for \"name\" does not end on its line"},
        {Replaced(r, "45464658", "4546465G"), 2, "expected eight hexadecimal digits for \"id\""},
        {Replaced(r, "Inputs\": 2,", "Inputs\": 2"), 8, "expected ',' or '}' after \"numInputs\""},
        {r + "x", 17, "unexpected text after the closing brace"},
        {Replaced(r, "}\n", "\"shells\": {\"0000001\": \"Sub\",},\n}"), 16,
         "expected eight hexadecimal digits for a shell's id"},
        {Replaced(r, "}\n", "\"later\": " + std::string(32, '[') + "\n}"), 16,  // 33 levels
         "\"later\" nests deeper than 32 levels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string line = c.line ? "report line " + std::to_string(c.line) + ": " : "";
        EXPECT_EQ(ParsedFields(c.text), "error: " + line + c.error);
    }
}

// A module's report: the format's members and each class's, in one line.
std::string ModuleFields(const std::string& text) {
    Report r;
    std::string error;
    if (!ParseReport(text, &r, &error))
        return "error: " + error;
    std::string out = r.format + "|" + r.platform + "|" + r.error + "|" + r.factory + r.clapVersion + "|" +
                      r.vendor + "|" + r.url + "|" + r.email + "|" + std::to_string(r.flags) + "|" +
                      std::to_string(r.classCount);
    for (const host::ReportClass& c : r.classes) {
        out += "\n" + c.id + "|" + c.category + "|" + c.name + "|" + c.vendor + "|" + c.version + "|" +
               c.subCategories + c.features + "|" + c.sdkVersion + c.description + "|" +
               std::to_string(c.cardinality) + "|" + std::to_string(c.classFlags) + "|" + c.url + c.manualUrl +
               c.supportUrl;
        if (c.placed)
            out += "|" + std::to_string(c.numInputs) + "/" + std::to_string(c.numOutputs) + "|" +
                   "01"[c.wantsMidi] + "01"[c.sendsMidi];
    }
    return out;
}

TEST(ParseReport, ReadsTheModuleReportsOfBothFormatsAsTheServerSendsThem) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    EXPECT_EQ(ModuleFields(ReportOf(session.Scan(PluginRequest(L"vst3\\Good.vst3")))),
              "VST3|x64||IPluginFactory3|Fake Vendor|https://example.invalid/fake|fake@example.invalid|16|2\n"
              "5EC0DE010A0B4C0D8E8F909192939495|Audio Module Class|Fake D\xC3\xA9lai|Fake Vendor|1.2.3|Fx|Delay|"
              "VST 3.7.9|2147483647|1||2/2|00\n"
              "5EC0DE021A1B1C1D1E1F202122232425|Audio Module Class|Fake Synth|Fake Vendor|1.2.3|Instrument|Synth|"
              "VST 3.7.9|2147483647|1||0/2|10");
    EXPECT_EQ(ModuleFields(ReportOf(session.Scan(PluginRequest(L"clap\\Good.clap")))),
              "CLAP|x64||1.2.0||||0|2\n"
              "org.example.fake-delay||Fake Clap Delay|Fake Vendor|1.0.0|audio-effect|delay|stereo|"
              "A delay that \"delays\" nothing|0|0|https://example.invalid/delay"
              "https://example.invalid/delay/manualhttps://example.invalid/support|2/2|00\n"
              "org.example.fake-synth||Fake Clap Synth|Fake Vendor|2.0|instrument|synthesizer|stereo||0|0||0/2|10");
    // A class whose instance failed carries none of the four.
    EXPECT_EQ(ModuleFields(ReportOf(session.Scan(PluginRequest(L"vst3\\ZeroCid.vst3")))).find("|0/"),
              std::string::npos);

    const std::string clap = "{\n\"format\": \"CLAP\",\n\"platform\": \"x64\",\n\"error\": \"\",\n"
                             "\"clapVersion\": \"1.2.0\",\n\"classCount\": 1,\n\"classes\": [\n{CLASS},\n],\n}\n";
    const std::string member = "\"id\": \"a\", \"name\": \"n\", \"vendor\": \"\", \"version\": \"\", "
                               "\"description\": \"\", \"url\": \"\", \"manualUrl\": \"\", \"supportUrl\": \"\", "
                               "\"features\": \"\"";
    struct Case {
        std::string text;
        const char* fields;
    };
    const std::string good = Replaced(clap, "{CLASS}", "{" + member + "}");
    const Case cases[] = {
        {good, "CLAP|x64||1.2.0||||0|1\na||n|||||0|0|"},
        {Replaced(clap, "{CLASS}", "{" + member + ", \"numInputs\": 1}"),
         "error: class 1 has only some of \"numInputs\", \"numOutputs\", \"wantsMidi\", \"sendsMidi\""},
        {Replaced(clap, "{CLASS}", "{" + Replaced(member, "\"id\": \"a\", ", "") + "}"),
         "error: class 1 lacks \"id\""},
        {Replaced(clap, "\"CLAP\"", "\"AU\""), "error: report line 2: unknown format \"AU\""},
        {Replaced(good, "\"clapVersion\": \"1.2.0\",\n", ""), "error: report lacks \"clapVersion\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ModuleFields(c.text).substr(0, std::string(c.fields).size()), c.fields) << c.text;
    // Not first, "format" is a member a VST 2 report does not know.
    EXPECT_EQ(ParsedFields(Replaced(kEffectReport, "\"error\"", "\"format\": \"VST3\", \"error\"")),
              ParsedFields(kEffectReport));
}

}  // namespace
