#pragma once

#include <string>
#include <vector>

#include "host/engine/servers/ServerProcess.h"

namespace testing_support {

// The server a session starts and the kit its plug-ins come from: the
// build's own, or (for the x64 engine's tests) the x86 server beside it and
// the x86 build's kit in plugins-x86.
enum class Kit { Own, X86 };

// The path of a test plug-in built into the plugins folder beside the test.
std::wstring PluginPath(const wchar_t* name, Kit kit = Kit::Own);
std::string PluginRequest(const wchar_t* name, const char* suffix = "", Kit kit = Kit::Own);

// The names of the files in a folder (not "." and "..").
std::vector<std::wstring> ListFileNames(const std::wstring& folder);

// A fresh, empty folder under the temporary folder; removed (with what it
// holds) when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::wstring& path() const { return path_; }
    std::vector<std::wstring> FileNames() const;

private:
    std::wstring path_;
};

// One real server started as a host starts it, and the exchanges with it.
class ScanSession {
public:
    // Starts the server beside the test with the given dump folder (empty:
    // none) and reads its banner and first prompt.
    explicit ScanSession(const std::wstring& dumpFolder = L"", Kit kit = Kit::Own);

    bool started() const { return started_; }
    const std::vector<std::string>& banner() const { return banner_; }

    // Sends one request line and returns every line up to the next prompt.
    // *prompted tells whether the prompt came (false: the server ended).
    std::vector<std::string> Scan(const std::string& request, bool* prompted = nullptr);

    // Closes the input pipe and returns what the server wrote until it
    // ended; *exitCode gets its exit code.
    std::string Finish(DWORD* exitCode);

    // Waits for the server to end by itself (after a crash).
    DWORD WaitForExitCode();

    host::ServerProcess& process() { return server_; }

private:
    host::ServerProcess server_;
    std::vector<std::string> banner_;
    bool started_ = false;
};

// The lines whose tag is ">", with the tag removed, joined: the report.
std::string ReportOf(const std::vector<std::string>& lines);

// The lines that are not report lines, joined.
std::string LogOf(const std::vector<std::string>& lines);

// True when some line equals text exactly.
bool HasLine(const std::vector<std::string>& lines, const std::string& text);

}  // namespace testing_support
