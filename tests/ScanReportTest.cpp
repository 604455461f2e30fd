#include "scan/ScanReport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "scan/PluginInfo.h"
#include "server/Architecture.h"
#include "server/ServerState.h"
#include "tests/support/OutputCapture.h"

namespace {

// Runs WriteReport with serverState.outputPipe on a pipe of our own and
// returns every byte the host would read.
std::string CaptureReport(const CPluginInfo& info) {
    testing_support::OutputCapture capture;
    WriteReport(info);
    return capture.Finish();
}

// A report as the x64 server writes it, for the server under test: only the
// platform differs.
std::string ReportOnThisServer(std::string x64Report) {
    const std::string x64 = "\"platform\":  \"x64\"";
    size_t at = x64Report.find(x64);
    if (at != std::string::npos)
        x64Report.replace(at, x64.size(), "\"platform\":  \"" SERVER_ARCHITECTURE_TEXT "\"");
    return x64Report;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size() - 1;
        lines.push_back(text.substr(start, end + 1 - start));
        start = end + 1;
    }
    return lines;
}

void AddShell(CPluginInfo& info, int32_t id, const wchar_t* name) {
    auto* shell = new CShellInfo;
    shell->id = id;
    shell->name = name;
    ASSERT_TRUE(info.shells.Add(shell));
}

std::wstring Text(const Simple::CStringW& text) {
    return text.IsNull() ? L"<null string>" : std::wstring(text.GetBuffer());
}

TEST(CPluginInfo, StartsWithNothingKnownAndCategoryMinusOne) {
    CPluginInfo info;
    EXPECT_EQ(info.id, 0);
    for (const Simple::CStringW* text : {&info.name, &info.vendor, &info.product, &info.version, &info.error})
        EXPECT_EQ(text->GetLength(), 0);
    EXPECT_EQ(info.numInputs, 0);
    EXPECT_EQ(info.numOutputs, 0);
    EXPECT_FALSE(info.wantsMidi);
    EXPECT_FALSE(info.sendsMidi);
    EXPECT_FALSE(info.audio64);
    EXPECT_FALSE(info.synthEdit);
    EXPECT_EQ(info.category, -1);
    EXPECT_EQ(info.shells.GetCount(), 0);
}

TEST(JsonEscape, EscapesEveryUnitOutsidePrintableAsciiAndTheJsonSpecials) {
    struct Case {
        const wchar_t* text;
        const wchar_t* escaped;
    };
    const Case cases[] = {
        {L"Plain Name 1.0", L"Plain Name 1.0"},         // printable ASCII stays
        {L"say \"hi\"", L"say \\\"hi\\\""},            // quotation mark
        {L"C:\\Plug", L"C:\\\\Plug"},                   // backslash
        {L"In/Out", L"In\\/Out"},                       // solidus
        {L"\b\f\n\r\t", L"\\b\\f\\n\\r\\t"},            // the five short control escapes
        {L"\x0B", L"\\u000b"},                          // vertical tab has no short form
        {L"\x14", L"\\u0014"},                          // other control unit
        {L"\x1F", L"\\u001f"},                          // last control unit, lowercase hex
        {L"\x01 ~", L"\\u0001 ~"},                      // space and tilde: the ends of the plain range
        {L"\x7F", L"\\u007f"},                          // delete is escaped
        {L"Caf\xE9", L"Caf\\u00e9"},                    // a widened 8-bit byte
        {L"\xFFFF", L"\\uffff"},                        // highest unit
        {L"\xD83D\xDE00", L"\\ud83d\\ude00"},           // outside the BMP: one escape per surrogate
        {L"\"\\/", L"\\\"\\\\\\/"},                     // the three specials side by side
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "expected " << testing::PrintToString(std::wstring(c.escaped)));
        EXPECT_EQ(Text(JsonEscape(c.text)), c.escaped);
    }
}

TEST(JsonEscape, NullAndEmptyTextGiveAnAllocatedEmptyString) {
    for (const wchar_t* text : {static_cast<const wchar_t*>(nullptr), L""}) {
        SCOPED_TRACE(text ? "empty text" : "null text");
        Simple::CStringW escaped = JsonEscape(text);
        EXPECT_FALSE(escaped.IsNull());
        EXPECT_EQ(escaped.GetLength(), 0);
        // A null string would print as "(null)".
        EXPECT_EQ(Text(Simple::FormatString(L"[%s]", escaped.GetBuffer())), L"[]");
    }
}

TEST(WriteReport, WritesAnEffectMemberByMemberWithEscapedStrings) {
    CPluginInfo info;
    info.id = 0x4B6C6E72;
    info.name = L"Wide \"Echo\"";
    info.vendor = L"Caf\xE9 Audio";
    info.product = L"Echo/Delay";
    info.version = L"1.4.2";
    info.numInputs = 2;
    info.numOutputs = 6;
    info.wantsMidi = true;
    info.sendsMidi = false;
    info.audio64 = true;
    info.synthEdit = true;
    info.category = 1;
    EXPECT_EQ(CaptureReport(info),
              ReportOnThisServer(R"report(>:{
>:  "id":        "4B6C6E72",
>:  "name":      "Wide \"Echo\"",
>:  "vendor":    "Caf\u00e9 Audio",
>:  "product":   "Echo\/Delay",
>:  "version":   "1.4.2",
>:  "error":     "",
>:  "numInputs": 2,
>:  "numOutputs":6,
>:  "wantsMidi":  true,
>:  "sendsMidi": false,
>:  "platform":  "x64",
>:  "audio64":   true,
>:  "category":  1,
>:  "synthEdit": true,
>:}
)report"));
}

TEST(WriteReport, AFailedLoadShowsTheErrorAndEveryInitialValue) {
    CPluginInfo info;
    info.error = L"Could not load the library\\ (error 193)";
    EXPECT_EQ(CaptureReport(info),
              ReportOnThisServer(R"report(>:{
>:  "id":        "00000000",
>:  "name":      "",
>:  "vendor":    "",
>:  "product":   "",
>:  "version":   "",
>:  "error":     "Could not load the library\\ (error 193)",
>:  "numInputs": 0,
>:  "numOutputs":0,
>:  "wantsMidi":  false,
>:  "sendsMidi": false,
>:  "platform":  "x64",
>:  "audio64":   false,
>:  "category":  -1,
>:  "synthEdit": false,
>:}
)report"));
}

TEST(WriteReport, AShellListsItsEntriesInTheirOrderBetweenSynthEditAndTheEnd) {
    CPluginInfo info;
    info.id = 0x5368656C;
    info.name = L"Bundle";
    info.numOutputs = 2;
    info.category = 10;
    AddShell(info, 2, L"Second/Bass");
    AddShell(info, 1, L"First \"Lead\"");
    EXPECT_EQ(CaptureReport(info),
              ReportOnThisServer(R"report(>:{
>:  "id":        "5368656C",
>:  "name":      "Bundle",
>:  "vendor":    "",
>:  "product":   "",
>:  "version":   "",
>:  "error":     "",
>:  "numInputs": 0,
>:  "numOutputs":2,
>:  "wantsMidi":  false,
>:  "sendsMidi": false,
>:  "platform":  "x64",
>:  "audio64":   false,
>:  "category":  10,
>:  "synthEdit": false,
>:  "shells": {
>:        "00000002": "Second\/Bass",
>:        "00000001": "First \"Lead\"",
>:  },
>:}
)report"));
}

TEST(WriteReport, AShellThatNamedNothingStillWritesAnEmptyBlock) {
    CPluginInfo info;
    info.category = 10;
    std::vector<std::string> lines = SplitLines(CaptureReport(info));
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[14], ">:  \"synthEdit\": false,\n");
    EXPECT_EQ(lines[15], ">:  \"shells\": {\n");
    EXPECT_EQ(lines[16], ">:  },\n");
    EXPECT_EQ(lines[17], ">:}\n");
}

TEST(WriteReport, ANonShellReportIsSixteenLinesWhateverItsShellsHold) {
    const int32_t categories[] = {
        -1,  // never asked
        0,   // unknown
        1,   // effect, with shells present below
        2,   // synth
        11,  // just past the shell category
    };
    for (int32_t category : categories) {
        SCOPED_TRACE(testing::Message() << "category " << category);
        CPluginInfo info;
        info.category = category;
        AddShell(info, 7, L"Ignored");
        std::string text = CaptureReport(info);
        std::vector<std::string> lines = SplitLines(text);
        ASSERT_EQ(lines.size(), 16u);
        for (const std::string& line : lines) {
            EXPECT_EQ(line.compare(0, 2, ">:"), 0) << line;
            EXPECT_EQ(line.back(), '\n') << line;
        }
        EXPECT_EQ(lines[13], ">:  \"category\":  " + std::to_string(category) + ",\n");
        EXPECT_EQ(lines[15], ">:}\n");
        EXPECT_EQ(text.find("shells"), std::string::npos);
    }
}

TEST(WriteReport, IdsAreEightUppercaseHexDigitsOfTheirThirtyTwoBits) {
    struct Case {
        int32_t id;
        const char* line;
    };
    const Case cases[] = {
        {-1, ">:  \"id\":        \"FFFFFFFF\",\n"},             // all bits set
        {0x2A, ">:  \"id\":        \"0000002A\",\n"},           // zero-padded
        {INT32_MIN, ">:  \"id\":        \"80000000\",\n"},      // sign bit alone
        {0x7FFFFFFF, ">:  \"id\":        \"7FFFFFFF\",\n"},     // largest positive
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "id " << c.id);
        CPluginInfo info;
        info.id = c.id;
        info.category = 10;
        AddShell(info, c.id, L"Same id");
        std::vector<std::string> lines = SplitLines(CaptureReport(info));
        ASSERT_EQ(lines.size(), 19u);
        EXPECT_EQ(lines[1], c.line);
        // The shell line prints its id the same way.
        std::string hex = std::string(c.line).substr(18, 8);
        EXPECT_EQ(lines[16], ">:        \"" + hex + "\": \"Same id\",\n");
    }
}

}  // namespace
