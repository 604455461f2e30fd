#include "scan/ScanReport.h"

#include <cstdint>

#include "server/Architecture.h"
#include "server/MessageChannel.h"

using Simple::CStringW;

namespace {

// The escape for a unit with a short JSON form, or 0 when it has none.
wchar_t ShortEscape(wchar_t unit) {
    switch (unit) {
    case L'"': return L'"';
    case L'\\': return L'\\';
    case L'/': return L'/';
    case L'\b': return L'b';
    case L'\f': return L'f';
    case L'\n': return L'n';
    case L'\r': return L'r';
    case L'\t': return L't';
    default: return 0;
    }
}

// Appends the escape for one unit as a whole or not at all, so a result cut
// short by a failed allocation is still safe to put between quotes.
void AppendEscaped(CStringW& result, wchar_t unit) {
    if (unit >= 0x20 && unit <= 0x7E && !ShortEscape(unit)) {
        result.Append(&unit, 1);
        return;
    }
    if (wchar_t letter = ShortEscape(unit)) {
        const wchar_t escape[] = {L'\\', letter};
        result.Append(escape, 2);
        return;
    }
    static const wchar_t kHexDigits[] = L"0123456789abcdef";
    const wchar_t escape[] = {L'\\', L'u', kHexDigits[(unit >> 12) & 0xF], kHexDigits[(unit >> 8) & 0xF],
                              kHexDigits[(unit >> 4) & 0xF], kHexDigits[unit & 0xF]};
    result.Append(escape, 6);
}

const wchar_t* TrueOrFalse(bool flag) {
    return flag ? L"true" : L"false";
}

// One quoted string member; the escaped copy lives only until its line is out.
void WriteStringMember(const wchar_t* format, const wchar_t* value) {
    CStringW escaped = JsonEscape(value);
    LogData(format, escaped.GetBuffer());
}

void WriteShellBlock(const CPluginInfo& info) {
    LogData(L"  \"shells\": {\n");
    for (int32_t i = 0; i < info.shells.GetCount(); i++) {
        const CShellInfo* shell = info.shells[i];
        if (!shell)
            continue;
        CStringW name = JsonEscape(shell->name);
        LogData(L"        \"%.8X\": \"%s\",\n", shell->id, name.GetBuffer());
    }
    LogData(L"  },\n");
}

}  // namespace

CStringW JsonEscape(const wchar_t* text) {
    CStringW result;
    result.Reserve(0);
    if (!text)
        return result;
    for (const wchar_t* unit = text; *unit; unit++)
        AppendEscaped(result, *unit);
    return result;
}

// The uneven spacing ("wantsMidi" one column further, "numOutputs" with no
// space) is part of the format hosts read: do not tidy it.
void WriteReport(const CPluginInfo& info) {
    LogData(L"{\n");
    LogData(L"  \"id\":        \"%.8X\",\n", info.id);
    WriteStringMember(L"  \"name\":      \"%s\",\n", info.name);
    WriteStringMember(L"  \"vendor\":    \"%s\",\n", info.vendor);
    WriteStringMember(L"  \"product\":   \"%s\",\n", info.product);
    WriteStringMember(L"  \"version\":   \"%s\",\n", info.version);
    WriteStringMember(L"  \"error\":     \"%s\",\n", info.error);
    LogData(L"  \"numInputs\": %i,\n", info.numInputs);
    LogData(L"  \"numOutputs\":%i,\n", info.numOutputs);
    LogData(L"  \"wantsMidi\":  %s,\n", TrueOrFalse(info.wantsMidi));
    LogData(L"  \"sendsMidi\": %s,\n", TrueOrFalse(info.sendsMidi));
    LogData(L"  \"platform\":  \"%s\",\n", SERVER_ARCHITECTURE);
    LogData(L"  \"audio64\":   %s,\n", TrueOrFalse(info.audio64));
    LogData(L"  \"category\":  %i,\n", info.category);
    LogData(L"  \"synthEdit\": %s,\n", TrueOrFalse(info.synthEdit));
    if (info.category == kShellCategory)
        WriteShellBlock(info);
    LogData(L"}\n");
}
