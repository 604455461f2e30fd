#pragma once

#include <string>

#include "host/engine/records/Records.h"

namespace tools {

// One self-contained HTML page that shows results to a person: counts by
// status, the run and its incidents, a table of every plug-in with filters
// and a search, each failure's details, and the slowest scans. The page
// needs nothing but itself: its style and script are inline, and the
// results ride in it as JSON that no plug-in's text can break out of.
std::string HtmlReport(const host::Results& results);

// Writes HtmlReport(results) to path. False, with *error, when it cannot.
bool WriteHtmlReport(const std::wstring& path, const host::Results& results, std::string* error);

}  // namespace tools
