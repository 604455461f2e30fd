#pragma once

#include <string>

#include "host/engine/records/Records.h"

namespace host {

// The results file is also the cache of the next run, so that nothing a
// scan learned is lost: it is only ever replaced whole, and a file that
// cannot be read as results is set aside, never overwritten.

// Reads the results at path into *results. A missing file gives empty
// results. A file that is empty, is not JSON, or is JSON of another format
// is renamed to "<path>.bad-YYYYMMDD-hhmmss" (a number added if that name
// is taken), *warning says so and where it went, and the results are
// empty. False, with *error, only when the file exists but can be neither
// read nor set aside.
bool LoadResultsFile(const std::wstring& path, Results* results, std::string* warning,
                     std::string* error);

// Reads the results at path and changes nothing, for readers other than a
// scan (a report of an earlier run): a file they cannot read stays where it
// is. False, with *error saying why, when the file is missing, cannot be
// read, or is not results.
bool ReadResultsFile(const std::wstring& path, Results* results, std::string* error);

// Tells before a scan starts whether results can be saved at path: its
// folder exists and takes new files, and the file, if it exists, is not
// read-only. False with *error saying why.
bool CheckResultsWritable(const std::wstring& path, std::string* error);

// The results file's text: the results as JSON, indented, with a final line feed.
std::string ResultsText(const Results& results);

// Writes the results to a temporary file beside path and renames it over
// path in one step, so that a reader, or a run killed at any moment, finds
// either the old file or the new one whole. False with *error when the
// file cannot be written; the old file is then left as it was.
bool SaveResultsFile(const std::wstring& path, const Results& results, std::string* error);

}  // namespace host
