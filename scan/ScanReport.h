#pragma once

#include "scan/PluginInfo.h"
#include "simple/String.h"

// Escapes UTF-16 text for a double-quoted string of the report, one code
// unit at a time, so that the result holds only printable ASCII. Null or
// empty text gives an allocated empty string, which prints as "" (not
// "(null)") through "%s".
Simple::CStringW JsonEscape(const wchar_t* text);

// Writes the record as the scan report, one ">" line per member. The shell
// block appears exactly when the category says shell, even if empty.
void WriteReport(const CPluginInfo& info);
