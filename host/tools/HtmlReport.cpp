#include "host/tools/HtmlReport.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "host/engine/util/Text.h"
#include "host/tools/ReportPage.h"

namespace tools {

namespace {

// JSON's own syntax holds no "<", ">", U+2028 or U+2029, so each of them is
// inside a string, where its \u escape means the same character.
std::string ScriptSafeJson(const host::Json& json) {
    std::string text = json.dump(-1, ' ', false, host::Json::error_handler_t::replace);
    std::string safe;
    safe.reserve(text.size() + text.size() / 8);
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '<') {
            safe += "\\u003c";
        } else if (c == '>') {
            safe += "\\u003e";
        } else if (c == '\xE2' && i + 2 < text.size() && text[i + 1] == '\x80' &&
                   (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
            safe += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            safe += c;
        }
    }
    return safe;
}

}  // namespace

std::string HtmlReport(const host::Results& results) {
    // The markup holds each of its three places once, in this order. They
    // are looked for in the markup only, so nothing a plug-in wrote into
    // the results is ever taken for one.
    const std::string html(kPageHtml, kPageHtmlSize);
    const std::pair<const char*, std::string> parts[] = {
        {"{{style}}", std::string(kPageCss, kPageCssSize)},
        {"{{results}}", ScriptSafeJson(host::ToJson(results))},
        {"{{script}}", std::string(kPageJs, kPageJsSize)},
    };
    std::string page;
    page.reserve(html.size() + kPageCssSize + kPageJsSize + parts[1].second.size());
    size_t from = 0;
    for (const auto& part : parts) {
        size_t at = html.find(part.first, from);
        if (at == std::string::npos)
            continue;
        page.append(html, from, at - from);
        page += part.second;
        from = at + strlen(part.first);
    }
    page.append(html, from, std::string::npos);
    return page;
}

bool WriteHtmlReport(const std::wstring& path, const host::Results& results, std::string* error) {
    std::string page = HtmlReport(results);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot create the report page " + host::ToUtf8(path) + " (system error " +
                 std::to_string(GetLastError()) + ")";
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (ok && done < page.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(page.size() - done, 1 << 30));
        DWORD written = 0;
        ok = WriteFile(file, page.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    if (!ok)
        *error = "cannot write the report page " + host::ToUtf8(path) + " (system error " +
                 std::to_string(GetLastError()) + ")";
    CloseHandle(file);
    return ok;
}

}  // namespace tools
