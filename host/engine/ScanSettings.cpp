#include "host/engine/ScanSettings.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>

#include "host/engine/plan/Discovery.h"
#include "host/engine/util/Text.h"

namespace host {

namespace {


std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

bool Text(const Json& value, std::string* out) {
    if (!value.is_string())
        return false;
    *out = value.get<std::string>();
    return true;
}

bool Flag(const Json& value, bool* out) {
    if (!value.is_boolean())
        return false;
    *out = value.get<bool>();
    return true;
}

bool Number(const Json& value, double low, double high, double* out) {
    if (!value.is_number() || value.get<double>() < low || value.get<double>() > high)
        return false;
    *out = value.get<double>();
    return true;
}

template <typename T>
bool Whole(const Json& value, T low, T high, T* out) {
    if (!value.is_number_integer())
        return false;
    // Parsed numbers that are not negative are unsigned, others signed.
    bool inRange = value.is_number_unsigned()
                       ? value.get<uint64_t>() >= static_cast<uint64_t>(low) &&
                             value.get<uint64_t>() <= static_cast<uint64_t>(high)
                       : value.get<int64_t>() >= static_cast<int64_t>(low) &&
                             value.get<int64_t>() <= static_cast<int64_t>(high);
    if (!inRange)
        return false;
    *out = static_cast<T>(value.get<int64_t>());
    return true;
}

// One reader per key: false when the value does not fit, with what it must be.
struct Key {
    const char* must;
    std::function<bool(const Json&, ScanSettings*)> read;
};

const std::map<std::string, Key>& Keys() {
    static const std::map<std::string, Key> keys = {
        {"inputs", {"a list of strings", [](const Json& v, ScanSettings* s) {
             if (!v.is_array())
                 return false;
             std::vector<std::string> inputs;
             for (const Json& input : v)
                 if (!Text(input, &inputs.emplace_back()))
                     return false;
             s->inputs = std::move(inputs);
             return true;
         }}},
        {"out", {"a string", [](const Json& v, ScanSettings* s) { return Text(v, &s->out) && !s->out.empty(); }}},
        {"jobs", {"a whole number from 1 to 64",
                  [](const Json& v, ScanSettings* s) { return Whole(v, 1, kMaxJobs, &s->jobs); }}},
        {"timeout", {"a number of seconds from 0.1 to 86400", [](const Json& v, ScanSettings* s) {
             return Number(v, kMinTimeout, kMaxTimeout, &s->timeout);
         }}},
        {"dumpFolder", {"a string", [](const Json& v, ScanSettings* s) { return Text(v, &s->dumpFolder); }}},
        {"rescan", {"true or false", [](const Json& v, ScanSettings* s) { return Flag(v, &s->rescan); }}},
        {"retryFailed", {"true or false", [](const Json& v, ScanSettings* s) { return Flag(v, &s->retryFailed); }}},
        {"recycleAfter", {"a whole number from 1 to 1000000", [](const Json& v, ScanSettings* s) {
             return Whole(v, 1, kMaxRecycleAfter, &s->recycleAfter);
         }}},
        {"memoryLimit", {"a whole number of MiB from 0 to 4294967295", [](const Json& v, ScanSettings* s) {
             return Whole(v, 0u, 0xFFFFFFFFu, &s->memoryLimit);
         }}},
        {"server", {"a string", [](const Json& v, ScanSettings* s) { return Text(v, &s->server); }}},
        {"server32", {"a string", [](const Json& v, ScanSettings* s) { return Text(v, &s->server32); }}},
        {"dialogs", {"\"answer\", \"wait\" or \"fail\"", [](const Json& v, ScanSettings* s) {
             std::string text;
             if (!Text(v, &text) || (text != "answer" && text != "wait" && text != "fail"))
                 return false;
             s->dialogs = text;
             return true;
         }}},
        {"grace", {"a number of seconds from 0 to 600", [](const Json& v, ScanSettings* s) {
             return Number(v, 0, kMaxGrace, &s->grace);
         }}},
        {"formats", {"a list such as \"vst2,vst3,clap\"", [](const Json& v, ScanSettings* s) {
             std::string text, problem;
             FormatSet formats = 0;
             if (!Text(v, &text) || !ParseFormats(text, &formats, &problem))
                 return false;
             s->formats = text;
             return true;
         }}},
    };
    return keys;
}

}  // namespace

bool ReadScanSettings(const std::string& json, ScanSettings* settings, std::string* error) {
    Json options = Json::parse(json, nullptr, false);
    if (options.is_discarded()) {
        *error = "the options are not JSON";
        return false;
    }
    if (!options.is_object()) {
        *error = "the options must be a JSON object";
        return false;
    }
    ScanSettings read;
    for (const auto& [name, value] : options.items()) {
        auto key = Keys().find(name);
        if (key == Keys().end()) {
            *error = "unknown option \"" + name + "\"";
            return false;
        }
        if (!key->second.read(value, &read)) {
            *error = "option \"" + name + "\" must be " + key->second.must;
            return false;
        }
    }
    *settings = std::move(read);
    return true;
}

ScanOptions ToScanOptions(const ScanSettings& settings) {
    ScanOptions options;
    for (const std::string& input : settings.inputs)
        options.inputs.push_back(FromUtf8(input));
    options.resultsPath = FullPath(FromUtf8(settings.out));
    options.dumpFolder = settings.dumpFolder.empty() ? FolderOf(options.resultsPath) + L"\\dumps"
                                                     : FullPath(FromUtf8(settings.dumpFolder));
    options.serverPath = settings.server.empty() ? std::wstring() : FullPath(FromUtf8(settings.server));
    options.serverPath32 = settings.server32.empty() ? std::wstring() : FullPath(FromUtf8(settings.server32));
    options.jobs = settings.jobs;
    if (!options.jobs) {
        SYSTEM_INFO system;
        GetNativeSystemInfo(&system);
        options.jobs = static_cast<int>(system.dwNumberOfProcessors);
    }
    options.timeoutMs = static_cast<DWORD>(settings.timeout * 1000);
    options.recycleAfter = settings.recycleAfter;
    options.memoryLimit = static_cast<uint64_t>(settings.memoryLimit) * 1024 * 1024;
    options.rescan = settings.rescan;
    options.retryFailed = settings.retryFailed;
    options.graceMs = static_cast<DWORD>(settings.grace * 1000);
    std::string problem;
    if (!ParseFormats(settings.formats, &options.formats, &problem))
        options.formats = kAllFormats;
    options.dialogs = settings.dialogs == "wait"   ? DialogPolicy::Wait
                      : settings.dialogs == "fail" ? DialogPolicy::Fail
                                                   : DialogPolicy::Answer;
    return options;
}

}  // namespace host
