#include "host/engine/records/Records.h"

#include <cstdio>
#include <limits>

#include "host/engine/util/Text.h"

namespace host {

namespace {

struct StatusNameEntry {
    Status status;
    const char* name;
};

constexpr StatusNameEntry kStatusNames[] = {
    {Status::Ok, "ok"},
    {Status::Failed, "failed"},
    {Status::Crashed, "crashed"},
    {Status::TimedOut, "timed out"},
    {Status::Ended, "ended"},
};

Json TextOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

template <typename T>
Json ValueOrNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// Codes and addresses as people look them up: "0xC0000005".
std::string Hex(uint64_t value, int digits) {
    char text[24];
    snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

bool FromHex(const std::string& text, uint64_t* value) {
    if (text.size() < 3 || text.size() > 18 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return false;
    uint64_t n = 0;
    for (size_t i = 2; i < text.size(); i++) {
        char c = text[i];
        int digit = c >= '0' && c <= '9' ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return false;
        n = n << 4 | static_cast<uint64_t>(digit);
    }
    *value = n;
    return true;
}

Json FaultOrNull(const std::optional<Fault>& fault) {
    if (!fault)
        return nullptr;
    Json out = Json::object();
    out["kind"] = fault->kind;
    out["code"] = Hex(fault->code, 8);
    out["name"] = fault->name;
    out["access"] = fault->access;
    out["address"] = Hex(fault->address, 16);
    out["module"] = fault->module;
    out["offset"] = Hex(fault->offset, 1);
    out["unloadedModule"] = fault->unloadedModule;
    out["thread"] = !fault->threadKnown ? "unknown" : fault->serverThread ? "server" : "other";
    out["text"] = fault->text;
    out["stack"] = fault->stack;
    return out;
}

Json ToJson(const Dialog& dialog) {
    Json out = Json::object();
    out["title"] = dialog.title;
    out["texts"] = dialog.texts;
    out["answer"] = dialog.answer;
    return out;
}

// The members from "vendor" on, which plug-ins and sub-plug-ins write alike.
void AddScanMembers(const ScanResult& result, Json* json) {
    Json& out = *json;
    out["vendor"] = result.vendor;
    out["product"] = result.product;
    out["error"] = result.error;
    out["reason"] = TextOrNull(result.reason);
    out["missing"] = result.missing;
    out["format"] = TextOrNull(result.format);
    out["exitCode"] = ValueOrNull(result.exitCode);
    out["dump"] = TextOrNull(result.dump);
    out["durationMs"] = result.durationMs;
    out["fault"] = FaultOrNull(result.fault);
    out["afterReport"] = result.afterReport;
    out["dialogs"] = Json::array();
    for (const Dialog& dialog : result.dialogs)
        out["dialogs"].push_back(ToJson(dialog));
    out["output"] = result.output;
    out["log"] = result.log;
    if (result.report)
        out["report"] = ToJson(*result.report);
}

Json ToJson(const ShellRecord& shell) {
    Json out = Json::object();
    out["id"] = shell.id;
    out["name"] = shell.name;
    out["status"] = StatusName(shell.status);
    AddScanMembers(shell, &out);
    return out;
}


// Integers are taken only when the field can hold them. Numbers that were
// parsed are unsigned whenever they are not negative; numbers built in code
// keep the signedness they were built with, so both kinds are checked.
template <typename T>
bool IntegerInRange(const Json& value, T* out) {
    using Limits = std::numeric_limits<T>;
    if (value.is_number_unsigned()) {
        uint64_t n = value.get<uint64_t>();
        if (n > static_cast<uint64_t>(Limits::max()))
            return false;
        *out = static_cast<T>(n);
        return true;
    }
    if (!value.is_number_integer())
        return false;
    int64_t n = value.get<int64_t>();
    if (n < 0 ? n < static_cast<int64_t>(Limits::min())
              : static_cast<uint64_t>(n) > static_cast<uint64_t>(Limits::max()))
        return false;
    *out = static_cast<T>(n);
    return true;
}

// Reads the members of one JSON object into a record's fields, stopping at
// the first problem, which it keeps, naming the key. An absent member that
// is not required leaves its field as it was, and so does a null where null
// is written for "none".
class MemberReader {
public:
    explicit MemberReader(const Json& object) : object_(object) {}

    const std::string& problem() const { return problem_; }

    bool Text(const char* key, std::string* value, bool required = false) {
        const Json* member = Find(key, required);
        if (!member)
            return problem_.empty();
        if (!member->is_string())
            return WrongType(key, "a string");
        *value = member->get_ref<const std::string&>();
        return true;
    }

    bool TextOrNull(const char* key, std::string* value) {
        const Json* member = Find(key, false);
        if (!member || member->is_null())
            return true;
        if (!member->is_string())
            return WrongType(key, "a string or null");
        *value = member->get_ref<const std::string&>();
        return true;
    }

    bool Flag(const char* key, bool* value) {
        const Json* member = Find(key, false);
        if (!member)
            return true;
        if (!member->is_boolean())
            return WrongType(key, "true or false");
        *value = member->get<bool>();
        return true;
    }

    bool Number(const char* key, double* value) {
        const Json* member = Find(key, false);
        if (!member)
            return true;
        if (!member->is_number())
            return WrongType(key, "a number");
        *value = member->get<double>();
        return true;
    }

    template <typename T>
    bool Integer(const char* key, T* value, const char* kind, bool required = false) {
        const Json* member = Find(key, required);
        if (!member)
            return problem_.empty();
        return IntegerInRange(*member, value) || WrongType(key, kind);
    }

    template <typename T>
    bool IntegerOrNull(const char* key, std::optional<T>* value, const char* kind) {
        const Json* member = Find(key, false);
        if (!member || member->is_null())
            return true;
        T number = 0;
        if (!IntegerInRange(*member, &number))
            return WrongType(key, kind);
        *value = number;
        return true;
    }

    bool CodeOrNull(const char* key, std::optional<uint32_t>* value) {
        return IntegerOrNull(key, value, "an unsigned 32-bit integer or null");
    }

    bool FlagOrNull(const char* key, std::optional<bool>* value) {
        const Json* member = Find(key, false);
        if (!member || member->is_null())
            return true;
        if (!member->is_boolean())
            return WrongType(key, "true, false or null");
        *value = member->get<bool>();
        return true;
    }

    bool StatusMember(const char* key, Status* value, bool required) {
        const Json* member = Find(key, required);
        if (!member)
            return problem_.empty();
        if (!member->is_string())
            return WrongType(key, "a string");
        const std::string& name = member->get_ref<const std::string&>();
        return StatusFromName(name, value) ||
               Fail(Quoted(key) + " is not a status name: " + Quoted(name));
    }

    bool HexNumber(const char* key, uint64_t* value) {
        const Json* member = Find(key, false);
        if (!member)
            return true;
        if (!member->is_string() || !FromHex(member->get_ref<const std::string&>(), value))
            return WrongType(key, "a hexadecimal number such as \"0x1F\"");
        return true;
    }

    bool TextList(const char* key, std::vector<std::string>* values) {
        const Json* member = Find(key, false);
        if (!member)
            return true;
        if (!member->is_array())
            return WrongType(key, "an array of strings");
        std::vector<std::string> read;
        for (const Json& item : *member) {
            if (!item.is_string())
                return WrongType(key, "an array of strings");
            read.push_back(item.get<std::string>());
        }
        *values = std::move(read);
        return true;
    }

    // *value is the member, whatever it holds, or null when absent.
    bool Any(const char* key, const Json** value) {
        *value = Find(key, false);
        return true;
    }

    // *value is the member as an object or an array, or null when absent.
    bool Container(const char* key, bool array, bool required, const Json** value) {
        *value = Find(key, required);
        if (!*value)
            return problem_.empty();
        return (array ? (*value)->is_array() : (*value)->is_object()) ||
               WrongType(key, array ? "an array" : "an object");
    }

private:
    static std::string Quoted(const std::string& key) { return "\"" + key + "\""; }

    bool Fail(const std::string& what) {
        problem_ = what;
        return false;
    }

    bool WrongType(const char* key, const char* kind) {
        return Fail(Quoted(key) + " is not " + kind);
    }

    // Null when absent, and then a problem when the member is required.
    const Json* Find(const char* key, bool required) {
        auto it = object_.find(key);
        if (it != object_.end())
            return &*it;
        if (required)
            Fail(Quoted(key) + " is missing");
        return nullptr;
    }

    const Json& object_;
    std::string problem_;
};

std::string Element(const char* key, size_t index) {
    return std::string(key) + "[" + std::to_string(index) + "]";
}

bool ReadFault(const Json& json, std::optional<Fault>* fault, std::string* error) {
    if (json.is_null())
        return true;
    if (!json.is_object()) {
        *error = "\"fault\" is not an object or null";
        return false;
    }
    Fault read;
    MemberReader in(json);
    uint64_t code = 0;
    std::string thread;
    if (!in.Text("kind", &read.kind) || !in.HexNumber("code", &code) || !in.Text("name", &read.name) ||
        !in.Text("access", &read.access) || !in.HexNumber("address", &read.address) ||
        !in.Text("module", &read.module) || !in.HexNumber("offset", &read.offset) ||
        !in.Text("unloadedModule", &read.unloadedModule) || !in.Text("thread", &thread) ||
        !in.Text("text", &read.text) || !in.TextList("stack", &read.stack)) {
        *error = "fault: " + in.problem();
        return false;
    }
    read.code = static_cast<uint32_t>(code);
    read.serverThread = thread == "server";
    read.threadKnown = thread != "unknown";
    *fault = std::move(read);
    return true;
}

bool ReadDialogs(const Json& json, std::vector<Dialog>* dialogs, std::string* error) {
    if (!json.is_array()) {
        *error = "\"dialogs\" is not an array";
        return false;
    }
    std::vector<Dialog> read;
    for (size_t i = 0; i < json.size(); i++) {
        Dialog dialog;
        if (!json[i].is_object()) {
            *error = "dialogs[" + std::to_string(i) + "] is not an object";
            return false;
        }
        MemberReader in(json[i]);
        if (!in.Text("title", &dialog.title) || !in.TextList("texts", &dialog.texts) ||
            !in.Text("answer", &dialog.answer)) {
            *error = "dialogs[" + std::to_string(i) + "]: " + in.problem();
            return false;
        }
        read.push_back(std::move(dialog));
    }
    *dialogs = std::move(read);
    return true;
}

// The members of "vendor" on, as AddScanMembers writes them.
bool ReadScanMembers(MemberReader* in, ScanResult* result, std::string* error) {
    if (!in->Text("vendor", &result->vendor) || !in->Text("product", &result->product) ||
        !in->Text("error", &result->error) || !in->TextOrNull("reason", &result->reason) ||
        !in->TextList("missing", &result->missing) || !in->TextOrNull("format", &result->format) ||
        !in->CodeOrNull("exitCode", &result->exitCode) ||
        !in->TextOrNull("dump", &result->dump) ||
        !in->Integer("durationMs", &result->durationMs, "a 64-bit integer") ||
        !in->Flag("afterReport", &result->afterReport) || !in->Text("output", &result->output) ||
        !in->TextList("log", &result->log)) {
        *error = in->problem();
        return false;
    }
    const Json* fault = nullptr;
    const Json* dialogs = nullptr;
    if (!in->Any("fault", &fault) || !in->Any("dialogs", &dialogs)) {
        *error = in->problem();
        return false;
    }
    if ((fault && !ReadFault(*fault, &result->fault, error)) ||
        (dialogs && !ReadDialogs(*dialogs, &result->dialogs, error)))
        return false;
    const Json* report = nullptr;
    if (!in->Container("report", false, false, &report)) {
        *error = in->problem();
        return false;
    }
    if (report) {
        result->report.emplace();
        if (!FromJson(*report, &*result->report, error)) {
            *error = "report: " + *error;
            return false;
        }
    }
    return true;
}

bool FromJson(const Json& json, ShellRecord* shell, std::string* error) {
    if (!json.is_object()) {
        *error = "not an object";
        return false;
    }
    ShellRecord read;
    MemberReader in(json);
    if (!in.Text("id", &read.id) || !in.Text("name", &read.name) ||
        !in.StatusMember("status", &read.status, false)) {
        *error = in.problem();
        return false;
    }
    if (!ReadScanMembers(&in, &read, error))
        return false;
    *shell = std::move(read);
    return true;
}

bool FromJson(const Json& json, Incident* incident, std::string* error) {
    if (!json.is_object()) {
        *error = "not an object";
        return false;
    }
    Incident read;
    MemberReader in(json);
    const Json* suspects = nullptr;
    if (!in.CodeOrNull("exitCode", &read.exitCode) || !in.TextOrNull("dump", &read.dump) ||
        !in.TextOrNull("during", &read.during) ||
        !in.Container("suspects", true, false, &suspects) || !in.Text("reason", &read.reason) ||
        !in.Text("culprit", &read.culprit) || !in.TextList("tried", &read.tried)) {
        *error = in.problem();
        return false;
    }
    if (suspects) {
        for (size_t i = 0; i < suspects->size(); i++) {
            const Json& suspect = (*suspects)[i];
            if (!suspect.is_string()) {
                *error = Element("suspects", i) + " is not a string";
                return false;
            }
            read.suspects.push_back(suspect.get<std::string>());
        }
    }
    auto fault = json.find("fault");
    if (fault != json.end() && !ReadFault(*fault, &read.fault, error))
        return false;
    *incident = std::move(read);
    return true;
}

bool FromJson(const Json& json, RunInfo* run, std::string* error) {
    MemberReader in(json);
    const Json* incidents = nullptr;
    if (!in.Text("started", &run->started) || !in.Text("version", &run->version) ||
        !in.Number("seconds", &run->seconds) ||
        !in.Integer("scanned", &run->scanned, "a 32-bit integer") ||
        !in.Integer("fromCache", &run->fromCache, "a 32-bit integer") ||
        !in.Integer("skipped", &run->skipped, "a 32-bit integer") ||
        !in.Flag("stopped", &run->stopped) ||
        !in.Integer("servers", &run->servers, "a 32-bit integer") || !in.Container("incidents", true, false, &incidents)) {
        *error = in.problem();
        return false;
    }
    if (incidents) {
        for (size_t i = 0; i < incidents->size(); i++) {
            run->incidents.emplace_back();
            if (!FromJson((*incidents)[i], &run->incidents.back(), error)) {
                *error = Element("incidents", i) + ": " + *error;
                return false;
            }
        }
    }
    return true;
}

// The VST3 category of the classes a host instantiates as plug-ins.
constexpr char kAudioModuleClass[] = "Audio Module Class";

// A module's report with the server's keys, in the order it sends them.
Json ModuleReportJson(const Report& report) {
    bool vst3 = report.format == "VST3";
    Json out = Json::object();
    out["format"] = report.format;
    out["platform"] = report.platform;
    out["error"] = report.error;
    if (vst3) {
        out["factory"] = report.factory;
        out["vendor"] = report.vendor;
        out["url"] = report.url;
        out["email"] = report.email;
        out["flags"] = report.flags;
    } else {
        out["clapVersion"] = report.clapVersion;
    }
    out["classCount"] = report.classCount;
    out["classes"] = Json::array();
    for (const ReportClass& entry : report.classes) {
        Json c = Json::object();
        if (vst3) {
            c["cid"] = entry.id;
            c["category"] = entry.category;
            c["name"] = entry.name;
            c["subCategories"] = entry.subCategories;
            c["vendor"] = entry.vendor;
            c["version"] = entry.version;
            c["sdkVersion"] = entry.sdkVersion;
            c["cardinality"] = entry.cardinality;
            c["classFlags"] = entry.classFlags;
        } else {
            c["id"] = entry.id;
            c["name"] = entry.name;
            c["vendor"] = entry.vendor;
            c["version"] = entry.version;
            c["description"] = entry.description;
            c["url"] = entry.url;
            c["manualUrl"] = entry.manualUrl;
            c["supportUrl"] = entry.supportUrl;
            c["features"] = entry.features;
        }
        if (entry.placed) {
            c["numInputs"] = entry.numInputs;
            c["numOutputs"] = entry.numOutputs;
            c["wantsMidi"] = entry.wantsMidi;
            c["sendsMidi"] = entry.sendsMidi;
        }
        out["classes"].push_back(std::move(c));
    }
    return out;
}

bool ReadModuleReport(const Json& json, Report* report, std::string* error) {
    Report read;
    MemberReader in(json);
    const Json* classes = nullptr;
    if (!in.Text("format", &read.format) || !in.Text("platform", &read.platform) ||
        !in.Text("error", &read.error) || !in.Text("factory", &read.factory) ||
        !in.Text("vendor", &read.vendor) || !in.Text("url", &read.url) || !in.Text("email", &read.email) ||
        !in.Integer("flags", &read.flags, "a 32-bit integer") || !in.Text("clapVersion", &read.clapVersion) ||
        !in.Integer("classCount", &read.classCount, "a 32-bit integer") ||
        !in.Container("classes", true, false, &classes)) {
        *error = in.problem();
        return false;
    }
    bool vst3 = read.format == "VST3";
    for (size_t i = 0; classes && i < classes->size(); i++) {
        const Json& item = (*classes)[i];
        ReportClass entry;
        if (!item.is_object()) {
            *error = Element("classes", i) + " is not an object";
            return false;
        }
        MemberReader c(item);
        if (!c.Text(vst3 ? "cid" : "id", &entry.id) || !c.Text("category", &entry.category) ||
            !c.Text("name", &entry.name) || !c.Text("subCategories", &entry.subCategories) ||
            !c.Text("vendor", &entry.vendor) || !c.Text("version", &entry.version) ||
            !c.Text("sdkVersion", &entry.sdkVersion) ||
            !c.Integer("cardinality", &entry.cardinality, "a 32-bit integer") ||
            !c.Integer("classFlags", &entry.classFlags, "a 32-bit integer") ||
            !c.Text("description", &entry.description) || !c.Text("url", &entry.url) ||
            !c.Text("manualUrl", &entry.manualUrl) || !c.Text("supportUrl", &entry.supportUrl) ||
            !c.Text("features", &entry.features) ||
            !c.Integer("numInputs", &entry.numInputs, "a 32-bit integer") ||
            !c.Integer("numOutputs", &entry.numOutputs, "a 32-bit integer") ||
            !c.Flag("wantsMidi", &entry.wantsMidi) || !c.Flag("sendsMidi", &entry.sendsMidi)) {
            *error = Element("classes", i) + ": " + c.problem();
            return false;
        }
        entry.placed = item.contains("numInputs");
        read.classes.push_back(std::move(entry));
    }
    *report = std::move(read);
    return true;
}

Json ToJson(const PluginClass& entry, const std::string& format) {
    Json out = Json::object();
    out["id"] = entry.id;
    out["name"] = entry.name;
    out["vendor"] = entry.vendor;
    out["version"] = entry.version;
    out["category"] = entry.category;
    out["inputs"] = ValueOrNull(entry.inputs);
    out["outputs"] = ValueOrNull(entry.outputs);
    out["midiIn"] = ValueOrNull(entry.midiIn);
    out["midiOut"] = ValueOrNull(entry.midiOut);
    out["replaces"] = entry.replaces;
    if (format == "VST3") {
        out["sdkVersion"] = entry.sdkVersion;
        out["classFlags"] = entry.classFlags;
        out["cardinality"] = entry.cardinality;
    } else {
        out["description"] = entry.description;
        out["url"] = entry.url;
        out["manualUrl"] = entry.manualUrl;
        out["supportUrl"] = entry.supportUrl;
    }
    return out;
}

bool ReadPluginClass(const Json& json, PluginClass* entry, std::string* error) {
    if (!json.is_object()) {
        *error = "not an object";
        return false;
    }
    MemberReader in(json);
    if (!in.Text("id", &entry->id, true) || !in.Text("name", &entry->name) || !in.Text("vendor", &entry->vendor) ||
        !in.Text("version", &entry->version) || !in.Text("category", &entry->category) ||
        !in.TextList("replaces", &entry->replaces) || !in.Text("sdkVersion", &entry->sdkVersion) ||
        !in.Integer("classFlags", &entry->classFlags, "a 32-bit integer") ||
        !in.Integer("cardinality", &entry->cardinality, "a 32-bit integer") ||
        !in.Text("description", &entry->description) || !in.Text("url", &entry->url) ||
        !in.Text("manualUrl", &entry->manualUrl) || !in.Text("supportUrl", &entry->supportUrl) ||
        !in.IntegerOrNull("inputs", &entry->inputs, "a 32-bit integer or null") ||
        !in.IntegerOrNull("outputs", &entry->outputs, "a 32-bit integer or null") ||
        !in.FlagOrNull("midiIn", &entry->midiIn) || !in.FlagOrNull("midiOut", &entry->midiOut)) {
        *error = in.problem();
        return false;
    }
    return true;
}

bool ReadFileStamp(const Json& json, std::optional<FileStamp>* stamp, std::string* error) {
    if (json.is_null())
        return true;
    FileStamp read;
    MemberReader in(json);
    if (!json.is_object() || !in.Integer("size", &read.size, "an unsigned 64-bit integer", true) ||
        !in.Text("modified", &read.modified, true)) {
        *error = "moduleInfo: " + (json.is_object() ? in.problem() : std::string("not an object or null"));
        return false;
    }
    *stamp = std::move(read);
    return true;
}

}  // namespace

Json ToJson(const RunInfo& run) {
    Json out = Json::object();
    out["started"] = run.started;
    if (!run.version.empty())
        out["version"] = run.version;
    out["seconds"] = run.seconds;
    out["scanned"] = run.scanned;
    out["fromCache"] = run.fromCache;
    out["skipped"] = run.skipped;
    out["stopped"] = run.stopped;
    out["servers"] = run.servers;
    out["incidents"] = Json::array();
    for (const Incident& incident : run.incidents)
        out["incidents"].push_back(ToJson(incident));
    return out;
}

const char* StatusName(Status status) {
    for (const StatusNameEntry& entry : kStatusNames) {
        if (entry.status == status)
            return entry.name;
    }
    return "unknown";
}

bool StatusFromName(const std::string& name, Status* status) {
    for (const StatusNameEntry& entry : kStatusNames) {
        if (name == entry.name) {
            *status = entry.status;
            return true;
        }
    }
    return false;
}

std::string FileTimeText(const FILETIME& time) {
    SYSTEMTIME utc;
    // Only times with the top bit set fail, and no file system stores one.
    if (!FileTimeToSystemTime(&time, &utc))
        return std::string();
    // SYSTEMTIME stops at milliseconds; the seven digits come from the ticks.
    uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    char text[40];
    snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%07uZ", utc.wYear, utc.wMonth,
             utc.wDay, utc.wHour, utc.wMinute, utc.wSecond,
             static_cast<unsigned>(ticks % 10000000));
    return text;
}

Json ToJson(const Report& report) {
    if (!report.format.empty())
        return ModuleReportJson(report);
    Json out = Json::object();
    out["id"] = report.id;
    out["name"] = report.name;
    out["vendor"] = report.vendor;
    out["product"] = report.product;
    out["version"] = report.version;
    out["error"] = report.error;
    out["numInputs"] = report.numInputs;
    out["numOutputs"] = report.numOutputs;
    out["wantsMidi"] = report.wantsMidi;
    out["sendsMidi"] = report.sendsMidi;
    out["platform"] = report.platform;
    out["audio64"] = report.audio64;
    out["category"] = report.category;
    out["synthEdit"] = report.synthEdit;
    if (report.hasShells) {
        Json shells = Json::object();
        for (const ReportShell& shell : report.shells)
            shells[shell.id] = shell.name;
        out["shells"] = std::move(shells);
    }
    return out;
}

std::vector<PluginClass> ClassesOf(const Report& report) {
    std::vector<PluginClass> classes;
    bool vst3 = report.format == "VST3";
    if (!vst3 && report.format != "CLAP")
        return classes;
    for (const ReportClass& entry : report.classes) {
        if (vst3 && entry.category != kAudioModuleClass)
            continue;
        PluginClass out;
        out.id = vst3 ? AsciiUpper(entry.id) : entry.id;
        out.name = entry.name;
        out.vendor = entry.vendor;
        out.version = entry.version;
        out.category = vst3 ? entry.subCategories : entry.features;
        if (entry.placed) {
            out.inputs = entry.numInputs;
            out.outputs = entry.numOutputs;
            out.midiIn = entry.wantsMidi;
            out.midiOut = entry.sendsMidi;
        }
        if (vst3) {
            out.sdkVersion = entry.sdkVersion;
            out.classFlags = entry.classFlags;
            out.cardinality = entry.cardinality;
        } else {
            out.description = entry.description;
            out.url = entry.url;
            out.manualUrl = entry.manualUrl;
            out.supportUrl = entry.supportUrl;
        }
        classes.push_back(std::move(out));
    }
    return classes;
}

Json ToJson(const PluginRecord& record) {
    Json out = Json::object();
    out["path"] = record.path;
    out["size"] = record.size;
    out["modified"] = record.modified;
    out["platform"] = record.platform;
    out["status"] = StatusName(record.status);
    out["name"] = record.name;
    AddScanMembers(record, &out);
    out["shells"] = Json::array();
    for (const ShellRecord& shell : record.shells)
        out["shells"].push_back(ToJson(shell));
    out["classes"] = Json::array();
    for (const PluginClass& entry : record.classes)
        out["classes"].push_back(ToJson(entry, record.format));
    if (record.moduleInfo) {
        Json stamp = Json::object();
        stamp["size"] = record.moduleInfo->size;
        stamp["modified"] = record.moduleInfo->modified;
        out["moduleInfo"] = std::move(stamp);
    } else {
        out["moduleInfo"] = nullptr;
    }
    return out;
}

Json ToJson(const Incident& incident) {
    Json out = Json::object();
    out["exitCode"] = ValueOrNull(incident.exitCode);
    out["dump"] = TextOrNull(incident.dump);
    out["during"] = TextOrNull(incident.during);
    out["suspects"] = incident.suspects;
    out["reason"] = incident.reason;
    out["fault"] = FaultOrNull(incident.fault);
    out["culprit"] = incident.culprit;
    out["tried"] = incident.tried;
    return out;
}

Json ToJson(const Results& results) {
    Json out = Json::object();
    out["format"] = kResultsFormat;
    out["run"] = ToJson(results.run);
    out["plugins"] = Json::array();
    for (const PluginRecord& record : results.plugins)
        out["plugins"].push_back(ToJson(record));
    return out;
}

bool FromJson(const Json& json, Report* report, std::string* error) {
    if (!json.is_object()) {
        *error = "not an object";
        return false;
    }
    auto format = json.find("format");
    if (format != json.end() && format->is_string() && !format->get_ref<const std::string&>().empty())
        return ReadModuleReport(json, report, error);
    Report read;
    MemberReader in(json);
    const Json* shells = nullptr;
    if (!in.Text("id", &read.id) || !in.Text("name", &read.name) ||
        !in.Text("vendor", &read.vendor) || !in.Text("product", &read.product) ||
        !in.Text("version", &read.version) || !in.Text("error", &read.error) ||
        !in.Integer("numInputs", &read.numInputs, "a 32-bit integer") ||
        !in.Integer("numOutputs", &read.numOutputs, "a 32-bit integer") ||
        !in.Flag("wantsMidi", &read.wantsMidi) || !in.Flag("sendsMidi", &read.sendsMidi) ||
        !in.Text("platform", &read.platform) || !in.Flag("audio64", &read.audio64) ||
        !in.Integer("category", &read.category, "a 32-bit integer") ||
        !in.Flag("synthEdit", &read.synthEdit) || !in.Container("shells", false, false, &shells)) {
        *error = in.problem();
        return false;
    }
    if (shells) {
        read.hasShells = true;
        for (const auto& shell : shells->items()) {
            if (!shell.value().is_string()) {
                *error = "shells: \"" + shell.key() + "\" is not a string";
                return false;
            }
            read.shells.push_back({shell.key(), shell.value().get<std::string>()});
        }
    }
    *report = std::move(read);
    return true;
}

bool FromJson(const Json& json, PluginRecord* record, std::string* error) {
    if (!json.is_object()) {
        *error = "not an object";
        return false;
    }
    PluginRecord read;
    MemberReader in(json);
    if (!in.Text("path", &read.path, true)) {
        *error = in.problem();
        return false;
    }
    const Json* shells = nullptr;
    if (!in.Integer("size", &read.size, "an unsigned 64-bit integer", true) ||
        !in.Text("modified", &read.modified, true) || !in.Text("platform", &read.platform) ||
        !in.StatusMember("status", &read.status, true) || !in.Text("name", &read.name) ||
        !ReadScanMembers(&in, &read, error) ||
        !in.Container("shells", true, false, &shells)) {
        *error = read.path + ": " + (in.problem().empty() ? *error : in.problem());
        return false;
    }
    const Json* classes = nullptr;
    const Json* moduleInfo = nullptr;
    if (!in.Container("classes", true, false, &classes) || !in.Any("moduleInfo", &moduleInfo)) {
        *error = read.path + ": " + in.problem();
        return false;
    }
    for (size_t i = 0; classes && i < classes->size(); i++) {
        read.classes.emplace_back();
        if (!ReadPluginClass((*classes)[i], &read.classes.back(), error)) {
            *error = read.path + ": " + Element("classes", i) + ": " + *error;
            return false;
        }
    }
    if (moduleInfo && !ReadFileStamp(*moduleInfo, &read.moduleInfo, error)) {
        *error = read.path + ": " + *error;
        return false;
    }
    if (shells) {
        for (size_t i = 0; i < shells->size(); i++) {
            read.shells.emplace_back();
            if (!FromJson((*shells)[i], &read.shells.back(), error)) {
                *error = read.path + ": " + Element("shells", i) + ": " + *error;
                return false;
            }
        }
    }
    *record = std::move(read);
    return true;
}

bool FromJson(const Json& json, Results* results, std::string* error) {
    if (!json.is_object()) {
        *error = "the results are not an object";
        return false;
    }
    MemberReader in(json);
    int format = 0;
    const Json* run = nullptr;
    const Json* plugins = nullptr;
    if (!in.Integer("format", &format, "an integer", true)) {
        *error = in.problem();
        return false;
    }
    if (format != kResultsFormat) {
        *error = "\"format\" is " + std::to_string(format) + ", not " +
                 std::to_string(kResultsFormat);
        return false;
    }
    if (!in.Container("run", false, true, &run) || !in.Container("plugins", true, true, &plugins)) {
        *error = in.problem();
        return false;
    }
    Results read;
    if (!FromJson(*run, &read.run, error)) {
        *error = "run: " + *error;
        return false;
    }
    read.plugins.resize(plugins->size());
    for (size_t i = 0; i < plugins->size(); i++) {
        if (!FromJson((*plugins)[i], &read.plugins[i], error)) {
            *error = Element("plugins", i) + ": " + *error;
            return false;
        }
    }
    *results = std::move(read);
    return true;
}

}  // namespace host
