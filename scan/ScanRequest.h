#pragma once

#include <windows.h>

#include <cstdint>

#include "scan/PluginInfo.h"
#include "server/ServerState.h"

// Serves one request line: a library path, optionally followed by ">" and a
// hexadecimal shell id. Writes the request's log lines, an "error" line when
// the scan failed, and always the report.
void HandleScanRequest(const wchar_t* request);

// Answers a request line that could not be served at all (too long, or no
// memory for it) with an "error" line and the report of an empty record,
// so that the host still gets exactly one answer per line.
void HandleRejectedRequest(const wchar_t* reason);

// Loads (or reuses) the library, probes it, then keeps or frees it. False
// with record.error set when the library did not load or the probe failed.
bool ScanPlugin(const wchar_t* request, CPluginInfo& record);

// Frees the library kept loaded between requests, if any, with its log
// lines; the cache is empty afterwards.
void FreeCachedLibrary();

// The library path is everything before the first ">" (verbatim); the
// shell id the hexadecimal digits right after it, of which only the last
// eight count. No ">" or no digits give 0. False when memory for the path
// cannot be had.
bool SplitRequest(const wchar_t* request, CStringW* path, int32_t* shellId);

// Copies the file's fixed version record. False when the file has none, or
// a record shorter than VS_FIXEDFILEINFO.
bool ReadFileVersion(const wchar_t* path, VS_FIXEDFILEINFO* version);

// "a.b.c.d" from the product version words, else the file version words;
// null when both are zero.
CStringW FileVersionText(const VS_FIXEDFILEINFO& version);
