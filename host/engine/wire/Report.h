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

// One class of a VST3 module, or one plug-in descriptor of a CLAP module, as
// the server reported it; the members of the other format stay empty.
struct ReportClass {
    std::string id;             // VST3 "cid" (32 hexadecimal digits), CLAP "id"
    std::string category;       // VST3: "Audio Module Class", "Component Controller Class", ...
    std::string name;
    std::string vendor;
    std::string version;
    std::string subCategories;  // VST3, "Fx|Delay"
    std::string sdkVersion;     // VST3
    int32_t cardinality = 0;    // VST3
    int32_t classFlags = 0;     // VST3
    std::string description;    // CLAP
    std::string url;            // CLAP
    std::string manualUrl;      // CLAP
    std::string supportUrl;     // CLAP
    std::string features;       // CLAP, joined with "|"
    // An instance was made and read: the four members after it were sent.
    bool placed = false;
    int32_t numInputs = 0;
    int32_t numOutputs = 0;
    bool wantsMidi = false;
    bool sendsMidi = false;
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

    // A VST3 or CLAP module's report: "VST3" or "CLAP"; empty for VST 2,
    // whose members above are then all there is. A module's report shares
    // "platform", "error" and "vendor" (VST3) with it.
    std::string format;
    std::string factory;      // VST3: the richest factory interface answered
    std::string url;          // VST3
    std::string email;        // VST3
    int32_t flags = 0;        // VST3: the factory info's flags
    std::string clapVersion;  // CLAP: "1.2.0"
    int32_t classCount = 0;   // what the factory counts, however many were read
    std::vector<ReportClass> classes;
};

// Parses the text of one report: its lines with the ">:" tags taken off and
// the line feeds kept. A report whose first member is "format" is a VST3 or
// CLAP module's, with the members of that format; any other is a VST 2 one. Accepts the trailing comma after every member and
// reverses the report's escaping exactly. Skips members it does not know, so
// that a newer server's additions do no harm. False, with a reason naming
// the line, when the text is not one complete report with every known
// member present once with its type.
bool ParseReport(const std::string& text, Report* report, std::string* error);

}  // namespace host
