#pragma once

// Serves one request line: a library path, optionally followed by ">" and a
// hexadecimal shell id. Writes the request's log lines and its report.
void HandleScanRequest(const wchar_t* request);

// Answers a request line that could not be served at all (too long, or no
// memory for it) with an "error" line and the report of an empty record,
// so that the host still gets exactly one answer per line.
void HandleRejectedRequest(const wchar_t* reason);
