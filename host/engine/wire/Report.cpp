#include "host/engine/wire/Report.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <type_traits>
#include <utility>

#include "host/engine/util/Text.h"

namespace host {

namespace {

// Objects and arrays nest at most this deep, the report's own braces
// counted. The report needs two levels (the shells block); the rest is
// room for what a newer server may add, and the bound keeps the recursion
// that skips such values from running off the stack.
constexpr int kMaxDepth = 32;

// What a lone surrogate half becomes: UTF-8 cannot carry one, so the text
// keeps U+FFFD in its place, as Windows's own conversions do.
constexpr uint32_t kReplacementCharacter = 0xFFFD;

enum class Kind { HexId, Text, Number, Flag, ShellBlock, ClassList, Placement };

// One member a report or a class must carry, and where its value goes.
// Placement members are sent only for a class an instance was made of.
template <typename Target>
struct MemberRule {
    const char* key;
    Kind kind;
    std::string Target::*text = nullptr;
    int32_t Target::*number = nullptr;
    bool Target::*flag = nullptr;
};

template <typename Target>
struct MemberTable {
    const MemberRule<Target>* rules;
    size_t count;
};

template <typename Target, size_t N>
constexpr MemberTable<Target> TableOf(const MemberRule<Target> (&rules)[N]) {
    return {rules, N};
}

using Rule = MemberRule<Report>;
using ClassRule = MemberRule<ReportClass>;

const Rule kVst2Members[] = {
    {"id", Kind::HexId, &Report::id},
    {"name", Kind::Text, &Report::name},
    {"vendor", Kind::Text, &Report::vendor},
    {"product", Kind::Text, &Report::product},
    {"version", Kind::Text, &Report::version},
    {"error", Kind::Text, &Report::error},
    {"numInputs", Kind::Number, nullptr, &Report::numInputs},
    {"numOutputs", Kind::Number, nullptr, &Report::numOutputs},
    {"wantsMidi", Kind::Flag, nullptr, nullptr, &Report::wantsMidi},
    {"sendsMidi", Kind::Flag, nullptr, nullptr, &Report::sendsMidi},
    {"platform", Kind::Text, &Report::platform},
    {"audio64", Kind::Flag, nullptr, nullptr, &Report::audio64},
    {"category", Kind::Number, nullptr, &Report::category},
    {"synthEdit", Kind::Flag, nullptr, nullptr, &Report::synthEdit},
    {"shells", Kind::ShellBlock},
};

const Rule kVst3Members[] = {
    {"format", Kind::Text, &Report::format},
    {"platform", Kind::Text, &Report::platform},
    {"error", Kind::Text, &Report::error},
    {"factory", Kind::Text, &Report::factory},
    {"vendor", Kind::Text, &Report::vendor},
    {"url", Kind::Text, &Report::url},
    {"email", Kind::Text, &Report::email},
    {"flags", Kind::Number, nullptr, &Report::flags},
    {"classCount", Kind::Number, nullptr, &Report::classCount},
    {"classes", Kind::ClassList},
};

const Rule kClapMembers[] = {
    {"format", Kind::Text, &Report::format},
    {"platform", Kind::Text, &Report::platform},
    {"error", Kind::Text, &Report::error},
    {"clapVersion", Kind::Text, &Report::clapVersion},
    {"classCount", Kind::Number, nullptr, &Report::classCount},
    {"classes", Kind::ClassList},
};

// What a class carries when an instance of it was read, in either format.
#define PLACEMENT_RULES                                                              \
    {"numInputs", Kind::Placement, nullptr, &ReportClass::numInputs},                \
    {"numOutputs", Kind::Placement, nullptr, &ReportClass::numOutputs},              \
    {"wantsMidi", Kind::Placement, nullptr, nullptr, &ReportClass::wantsMidi},       \
    {"sendsMidi", Kind::Placement, nullptr, nullptr, &ReportClass::sendsMidi}

const ClassRule kVst3ClassMembers[] = {
    {"cid", Kind::Text, &ReportClass::id},
    {"category", Kind::Text, &ReportClass::category},
    {"name", Kind::Text, &ReportClass::name},
    {"subCategories", Kind::Text, &ReportClass::subCategories},
    {"vendor", Kind::Text, &ReportClass::vendor},
    {"version", Kind::Text, &ReportClass::version},
    {"sdkVersion", Kind::Text, &ReportClass::sdkVersion},
    {"cardinality", Kind::Number, nullptr, &ReportClass::cardinality},
    {"classFlags", Kind::Number, nullptr, &ReportClass::classFlags},
    PLACEMENT_RULES,
};

const ClassRule kClapClassMembers[] = {
    {"id", Kind::Text, &ReportClass::id},
    {"name", Kind::Text, &ReportClass::name},
    {"vendor", Kind::Text, &ReportClass::vendor},
    {"version", Kind::Text, &ReportClass::version},
    {"description", Kind::Text, &ReportClass::description},
    {"url", Kind::Text, &ReportClass::url},
    {"manualUrl", Kind::Text, &ReportClass::manualUrl},
    {"supportUrl", Kind::Text, &ReportClass::supportUrl},
    {"features", Kind::Text, &ReportClass::features},
    PLACEMENT_RULES,
};

#undef PLACEMENT_RULES

// The most members any table has, for the parser's record of those seen.
constexpr size_t kMostMembers = 16;
static_assert(std::size(kVst2Members) <= kMostMembers && std::size(kVst3ClassMembers) <= kMostMembers &&
              std::size(kClapClassMembers) <= kMostMembers);

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHexId(const std::string& text) {
    return text.size() == 8 &&
           std::all_of(text.begin(), text.end(), [](char c) { return HexValue(c) >= 0; });
}

bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

std::string Quoted(const std::string& key) {
    return "\"" + key + "\"";
}

// Reads one report. Each step leaves the cursor after what it read, or
// fails with the reason in error_. A subject names the value in messages:
// "\"name\"", "a member's name", "shell \"00000001\"".
class ReportParser {
public:
    explicit ReportParser(const std::string& text) : text_(text) {}

    bool Parse(Report* report);
    const std::string& error() const { return error_; }

private:
    bool AtEnd() const { return at_ >= text_.size(); }
    char Peek() const { return text_[at_]; }
    void SkipSpace();
    bool CutShortOf(const char* word) const;
    bool TakeWord(const char* word);

    bool Fail(size_t position, const std::string& message);
    bool FailEnd();

    template <typename OnItem>
    bool ParseItems(char close, OnItem onItem);
    template <typename OnMember>
    bool ParseObject(const std::string& subject, OnMember onMember);
    template <typename Target>
    bool ParseMember(MemberTable<Target> table, int depth, const std::string& key, size_t keyAt, bool* seen,
                     Target* target);
    template <typename Target>
    bool CheckComplete(MemberTable<Target> table, const bool* seen, const std::string& subject, Target* target);
    bool ParseBlock(Kind kind, Report* report);
    bool ParseClasses(Report* report);
    bool ParseString(const std::string& subject, std::string* utf8);
    bool ParseEscape(const std::string& subject, std::string* utf8);
    bool ReadHexUnit(uint32_t* unit);
    bool ParseHexId(const std::string& subject, std::string* id);
    bool ParseNumber(const std::string& subject, int32_t* value);
    bool ParseFlag(const std::string& subject, bool* value);
    bool ParseShells(std::vector<ReportShell>* shells);
    bool SkipValue(const std::string& subject, int depth);
    bool SkipNumber(const std::string& subject);

    const std::string& text_;
    size_t at_ = 0;
    std::string error_;
};

void ReportParser::SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\r' || Peek() == '\n'))
        at_++;
}

// True when the text ends inside word, so that a cut report is told apart
// from a wrong value.
bool ReportParser::CutShortOf(const char* word) const {
    std::string rest = text_.substr(at_);
    return rest.size() < std::char_traits<char>::length(word) &&
           std::string(word).rfind(rest, 0) == 0;
}

bool ReportParser::TakeWord(const char* word) {
    size_t length = std::char_traits<char>::length(word);
    if (text_.compare(at_, length, word) != 0)
        return false;
    at_ += length;
    return true;
}

bool ReportParser::Fail(size_t position, const std::string& message) {
    auto end = text_.begin() + static_cast<std::ptrdiff_t>(std::min(position, text_.size()));
    auto line = 1 + std::count(text_.begin(), end, '\n');
    error_ = "report line " + std::to_string(line) + ": " + message;
    return false;
}

bool ReportParser::FailEnd() {
    error_ = "report ends before its closing brace";
    return false;
}

// Reads the items of an object or array whose opening bracket is taken,
// through its closing one. A comma may follow every item, the last one
// too, as the server writes it. onItem(&item) reads one item and names it
// for the message about a missing comma.
template <typename OnItem>
bool ReportParser::ParseItems(char close, OnItem onItem) {
    for (;;) {
        SkipSpace();
        if (AtEnd())
            return FailEnd();
        if (Peek() == close) {
            at_++;
            return true;
        }
        std::string item;
        if (!onItem(&item))
            return false;
        // A missing comma is blamed on the line of the item it should follow.
        size_t itemEnd = at_;
        SkipSpace();
        if (AtEnd())
            return FailEnd();
        if (Peek() == close) {
            at_++;
            return true;
        }
        if (Peek() != ',')
            return Fail(itemEnd, std::string("expected ',' or '") + close + "' after " + item);
        at_++;
    }
}

// onMember(key, keyAt) reads each member's value, the cursor at its start.
template <typename OnMember>
bool ReportParser::ParseObject(const std::string& subject, OnMember onMember) {
    return ParseItems('}', [&](std::string* item) {
        if (Peek() != '"')
            return Fail(at_, "expected a member's name or '}' in " + subject);
        size_t keyAt = at_;
        std::string key;
        if (!ParseString("a member's name", &key))
            return false;
        *item = Quoted(key);
        SkipSpace();
        if (AtEnd())
            return FailEnd();
        if (Peek() != ':')
            return Fail(at_, "expected ':' after " + *item);
        at_++;
        SkipSpace();
        return onMember(key, keyAt);
    });
}

bool ReportParser::Parse(Report* report) {
    SkipSpace();
    if (AtEnd()) {
        error_ = "report is empty";
        return false;
    }
    if (Peek() != '{')
        return Fail(at_, "expected '{' to open the report");
    at_++;
    // A module's report opens with its format, which decides the members
    // it must carry; a VST 2 report has no such member.
    MemberTable<Report> table = TableOf(kVst2Members);
    bool first = true;
    bool seen[kMostMembers] = {};
    bool closed = ParseObject("the report", [&](const std::string& key, size_t keyAt) {
        if (first && key == "format") {
            first = false;
            size_t valueAt = at_;
            if (!ParseString("\"format\"", &report->format))
                return false;
            if (report->format == "VST3")
                table = TableOf(kVst3Members);
            else if (report->format == "CLAP")
                table = TableOf(kClapMembers);
            else
                return Fail(valueAt, "unknown format " + Quoted(report->format));
            seen[0] = true;
            return true;
        }
        first = false;
        return ParseMember(table, 1, key, keyAt, seen, report);
    });
    if (!closed)
        return false;
    SkipSpace();
    if (!AtEnd())
        return Fail(at_, "unexpected text after the closing brace");
    return CheckComplete(table, seen, "report", report);
}

template <typename Target>
bool ReportParser::CheckComplete(MemberTable<Target> table, const bool* seen, const std::string& subject,
                                 Target* target) {
    size_t placement = 0, placementSeen = 0;
    for (size_t i = 0; i < table.count; i++) {
        Kind kind = table.rules[i].kind;
        if (kind == Kind::Placement) {
            placement++;
            placementSeen += seen[i];
        } else if (!seen[i] && kind != Kind::ShellBlock) {
            error_ = subject + " lacks " + Quoted(table.rules[i].key);
            return false;
        }
    }
    if (placementSeen != 0 && placementSeen != placement) {
        error_ = subject + " has only some of \"numInputs\", \"numOutputs\", \"wantsMidi\", \"sendsMidi\"";
        return false;
    }
    if constexpr (std::is_same_v<Target, ReportClass>)
        target->placed = placementSeen != 0;
    return true;
}

template <typename Target>
bool ReportParser::ParseMember(MemberTable<Target> table, int depth, const std::string& key, size_t keyAt,
                               bool* seen, Target* target) {
    const MemberRule<Target>* end = table.rules + table.count;
    const MemberRule<Target>* rule =
        std::find_if(table.rules, end, [&](const MemberRule<Target>& m) { return key == m.key; });
    if (rule == end)
        return SkipValue(Quoted(key), depth);
    size_t index = static_cast<size_t>(rule - table.rules);
    if (seen[index])
        return Fail(keyAt, Quoted(key) + " appears twice");
    seen[index] = true;
    switch (rule->kind) {
    case Kind::HexId: return ParseHexId(Quoted(key), &(target->*rule->text));
    case Kind::Text: return ParseString(Quoted(key), &(target->*rule->text));
    case Kind::Number: return ParseNumber(Quoted(key), &(target->*rule->number));
    case Kind::Flag: return ParseFlag(Quoted(key), &(target->*rule->flag));
    case Kind::Placement:
        return rule->number ? ParseNumber(Quoted(key), &(target->*rule->number))
                            : ParseFlag(Quoted(key), &(target->*rule->flag));
    case Kind::ShellBlock:
    case Kind::ClassList:
        // Only a report holds blocks; no class's table names one.
        if constexpr (std::is_same_v<Target, Report>)
            return ParseBlock(rule->kind, target);
        return false;
    }
    return false;
}

bool ReportParser::ParseBlock(Kind kind, Report* report) {
    if (kind == Kind::ClassList)
        return ParseClasses(report);
    report->hasShells = true;
    return ParseShells(&report->shells);
}

// The classes array: one object per class, each with its format's members.
bool ReportParser::ParseClasses(Report* report) {
    if (AtEnd())
        return FailEnd();
    if (Peek() != '[')
        return Fail(at_, "expected '[' for \"classes\"");
    at_++;
    MemberTable<ReportClass> table =
        report->format == "VST3" ? TableOf(kVst3ClassMembers) : TableOf(kClapClassMembers);
    return ParseItems(']', [&](std::string* item) {
        std::string subject = "class " + std::to_string(report->classes.size() + 1);
        *item = subject;
        if (Peek() != '{')
            return Fail(at_, "expected '{' for " + subject);
        at_++;
        ReportClass entry;
        bool seen[kMostMembers] = {};
        bool closed = ParseObject(subject, [&](const std::string& key, size_t keyAt) {
            return ParseMember(table, 3, key, keyAt, seen, &entry);
        });
        if (!closed || !CheckComplete(table, seen, subject, &entry))
            return false;
        report->classes.push_back(std::move(entry));
        return true;
    });
}

// The server escapes everything outside printable ASCII, so a raw byte
// there means the text is not a report, or was damaged on the way.
bool ReportParser::ParseString(const std::string& subject, std::string* utf8) {
    if (AtEnd())
        return FailEnd();
    if (Peek() != '"')
        return Fail(at_, "expected a string for " + subject);
    at_++;
    utf8->clear();
    for (;;) {
        if (AtEnd())
            return FailEnd();
        auto c = static_cast<unsigned char>(Peek());
        if (c == '"') {
            at_++;
            return true;
        }
        if (c == '\n')
            return Fail(at_, "the string for " + subject + " does not end on its line");
        if (c < 0x20 || c > 0x7E) {
            char byte[8];
            snprintf(byte, sizeof byte, "0x%02X", c);
            return Fail(at_, std::string("raw byte ") + byte + " in the string for " + subject);
        }
        if (c != '\\') {
            utf8->push_back(static_cast<char>(c));
            at_++;
        } else if (!ParseEscape(subject, utf8)) {
            return false;
        }
    }
}

bool ReportParser::ParseEscape(const std::string& subject, std::string* utf8) {
    size_t start = at_++;
    if (AtEnd())
        return FailEnd();
    char letter = text_[at_++];
    const char* kLetters = "\"\\/bfnrt";
    const char* kValues = "\"\\/\b\f\n\r\t";
    if (const char* known = std::char_traits<char>::find(kLetters, 8, letter)) {
        utf8->push_back(kValues[known - kLetters]);
        return true;
    }
    if (letter != 'u') {
        std::string shown = letter > 0x20 && letter < 0x7F ? std::string(" \\") + letter : "";
        return Fail(start, "unknown escape" + shown + " in the string for " + subject);
    }
    uint32_t unit = 0;
    if (!ReadHexUnit(&unit)) {
        if (text_.size() - at_ < 4)
            return FailEnd();
        return Fail(start,
                    "expected four hexadecimal digits after \\u in the string for " + subject);
    }
    // The server escapes UTF-16 one code unit at a time: a character beyond
    // the BMP arrives as two escapes, which become one character again.
    uint32_t code = unit;
    if (IsHighSurrogate(unit)) {
        size_t afterHigh = at_;
        uint32_t low = 0;
        if (TakeWord("\\u") && ReadHexUnit(&low) && IsLowSurrogate(low)) {
            code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        } else {
            at_ = afterHigh;
            code = kReplacementCharacter;
        }
    } else if (IsLowSurrogate(unit)) {
        code = kReplacementCharacter;
    }
    AppendUtf8(code, utf8);
    return true;
}

// Four hexadecimal digits of either case at the cursor, taken only when
// all four are there.
bool ReportParser::ReadHexUnit(uint32_t* unit) {
    if (text_.size() - at_ < 4)
        return false;
    uint32_t value = 0;
    for (size_t i = 0; i < 4; i++) {
        int digit = HexValue(text_[at_ + i]);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    at_ += 4;
    *unit = value;
    return true;
}

bool ReportParser::ParseHexId(const std::string& subject, std::string* id) {
    size_t start = at_;
    if (!ParseString(subject, id))
        return false;
    if (!IsHexId(*id))
        return Fail(start, "expected eight hexadecimal digits for " + subject);
    return true;
}

// A decimal integer of 32 bits, signed, as the server prints them with %i.
bool ReportParser::ParseNumber(const std::string& subject, int32_t* value) {
    size_t start = at_;
    bool negative = !AtEnd() && Peek() == '-';
    if (negative)
        at_++;
    if (AtEnd())
        return FailEnd();
    if (!IsDigit(Peek()))
        return Fail(start, "expected a number for " + subject);
    const int64_t limit = negative ? -int64_t{INT32_MIN} : int64_t{INT32_MAX};
    int64_t magnitude = 0;
    for (; !AtEnd() && IsDigit(Peek()); at_++) {
        magnitude = magnitude * 10 + (Peek() - '0');
        if (magnitude > limit)
            return Fail(start, "the number for " + subject + " does not fit in 32 bits");
    }
    if (!AtEnd() && (Peek() == '.' || Peek() == 'e' || Peek() == 'E'))
        return Fail(start, "expected a whole number for " + subject);
    *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

bool ReportParser::ParseFlag(const std::string& subject, bool* value) {
    if (TakeWord("true")) {
        *value = true;
        return true;
    }
    if (TakeWord("false")) {
        *value = false;
        return true;
    }
    if (AtEnd() || CutShortOf("true") || CutShortOf("false"))
        return FailEnd();
    return Fail(at_, "expected true or false for " + subject);
}

// The shells block: "ID": "name" members, kept in the order sent.
bool ReportParser::ParseShells(std::vector<ReportShell>* shells) {
    if (AtEnd())
        return FailEnd();
    if (Peek() != '{')
        return Fail(at_, "expected '{' for \"shells\"");
    at_++;
    return ParseObject("\"shells\"", [&](const std::string& id, size_t idAt) {
        if (!IsHexId(id))
            return Fail(idAt, "expected eight hexadecimal digits for a shell's id");
        ReportShell shell;
        shell.id = id;
        if (!ParseString("shell " + Quoted(id), &shell.name))
            return false;
        shells->push_back(std::move(shell));
        return true;
    });
}

// Reads a value of a member the parser does not know and drops it. depth
// is the nesting of the object or array that holds it.
bool ReportParser::SkipValue(const std::string& subject, int depth) {
    if (AtEnd())
        return FailEnd();
    char c = Peek();
    if (c == '"') {
        std::string ignored;
        return ParseString(subject, &ignored);
    }
    if (c == '{' || c == '[') {
        if (depth >= kMaxDepth)
            return Fail(at_, subject + " nests deeper than " + std::to_string(kMaxDepth) +
                                 " levels");
        at_++;
        if (c == '{')
            return ParseObject(subject, [&](const std::string&, size_t) {
                return SkipValue(subject, depth + 1);
            });
        return ParseItems(']', [&](std::string* item) {
            *item = "a value in " + subject;
            return SkipValue(subject, depth + 1);
        });
    }
    if (c == '-' || IsDigit(c))
        return SkipNumber(subject);
    for (const char* word : {"true", "false", "null"}) {
        if (TakeWord(word))
            return true;
        if (CutShortOf(word))
            return FailEnd();
    }
    return Fail(at_, "expected a value for " + subject);
}

// A JSON number: -?digits(.digits)?([eE][+-]?digits)?
bool ReportParser::SkipNumber(const std::string& subject) {
    size_t start = at_;
    auto digits = [&] {
        size_t first = at_;
        while (!AtEnd() && IsDigit(Peek()))
            at_++;
        return at_ > first;
    };
    if (Peek() == '-')
        at_++;
    bool ok = digits();
    if (ok && !AtEnd() && Peek() == '.') {
        at_++;
        ok = digits();
    }
    if (ok && !AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
        at_++;
        if (!AtEnd() && (Peek() == '+' || Peek() == '-'))
            at_++;
        ok = digits();
    }
    if (ok)
        return true;
    return AtEnd() ? FailEnd() : Fail(start, "expected a number for " + subject);
}

}  // namespace

bool ParseReport(const std::string& text, Report* report, std::string* error) {
    ReportParser parser(text);
    Report parsed;
    if (!parser.Parse(&parsed)) {
        if (error)
            *error = parser.error();
        return false;
    }
    *report = std::move(parsed);
    return true;
}

}  // namespace host
