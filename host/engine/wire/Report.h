#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// One sub-plug-in listed in a shell's report.
struct ReportShell {
    std::string id;    // eight hexadecimal digits, as sent
    std::string name;  // as sent
};

// A scan report in typed fields, exactly as the server sent it. Texts hold
// the UTF-16 that the report's escapes spell, as UTF-8 (a lone surrogate
// half, which UTF-8 cannot carry, as U+FFFD). The server widens each byte
// of a plug-in's strings to one character, so the two UTF-8 bytes of an
// "é" in a plug-in's name are two characters here (DecodePluginText in
// Text.h reads them as meant).
struct Report {
    std::string id;  // eight hexadecimal digits, as sent
    std::string name;
    std::string vendor;
    std::string product;
    std::string version;
    std::string error;
    int32_t numInputs = 0;
    int32_t numOutputs = 0;
    bool wantsMidi = false;
    bool sendsMidi = false;
    std::string platform;
    bool audio64 = false;
    int32_t category = 0;
    bool synthEdit = false;
    bool hasShells = false;  // the report carried a "shells" block, maybe empty
    std::vector<ReportShell> shells;
};

// Parses the text of one report: its lines with the ">:" tags taken off and
// the line feeds kept. Accepts the trailing comma after every member and
// reverses the report's escaping exactly. Skips members it does not know, so
// that a newer server's additions do no harm. False, with a reason naming
// the line, when the text is not one complete report with every known
// member present once with its type.
bool ParseReport(const std::string& text, Report* report, std::string* error);

}  // namespace host
