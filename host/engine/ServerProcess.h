#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/engine/Text.h"

namespace host {

// How to start a scan server. By default the command line carries the four
// arguments a host passes: the server's ends of the two pipes as bare
// hexadecimal handle values, the host window and the dump folder.
struct LaunchOptions {
    std::wstring serverPath;
    std::wstring dumpFolder;  // empty: passed as an empty argument
    uint64_t hostWindow = 0;
    // When set, used instead of the four arguments; "{in}" and "{out}" are
    // replaced by the pipe handle values. Lets tests send odd command lines.
    std::wstring argumentsTemplate;
    bool useArgumentsTemplate = false;
    // Ends the server when it is still running after this long (0: never),
    // so that a plug-in that hangs cannot hang its host.
    DWORD lifetimeLimitMs = 0;
};

// One running scan server and the host's ends of its pipes. Not copyable.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Creates the pipes and starts the server. False, with the system's
    // error code in LastError(), when either fails.
    bool Start(const LaunchOptions& options);

    // Writes bytes to the server's input as they are; WriteLine adds "\n".
    bool WriteRaw(const std::string& bytes);
    bool WriteLine(const std::string& utf8) { return WriteRaw(utf8 + "\n"); }

    // Reads one line from the server's output, its line feed included.
    // False when the pipe ends first; *line then holds what came.
    bool ReadLine(std::string* line);

    // Reads lines up to and including the prompt "ready:\n". The prompt is
    // not added to lines. False when the pipe ends first.
    bool ReadUntilPrompt(std::vector<std::string>* lines);

    // Every byte still to come, until the server closes its output.
    std::string ReadToEnd();

    // Closes the host's end of the input pipe, which tells the server to
    // shut down.
    void CloseInput();

    // Waits for the server to end; false on time-out.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);

    // Ends the server at once.
    void Kill();

    HANDLE process() const { return process_; }
    DWORD processId() const { return processId_; }
    DWORD LastError() const { return lastError_; }
    // The handle values the server was given, as seen in its own process.
    uint64_t serverInputHandle() const { return serverInputValue_; }
    uint64_t serverOutputHandle() const { return serverOutputValue_; }

private:
    static DWORD WINAPI WatchLifetime(void* self);
    void CloseAll();

    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    HANDLE toServer_ = nullptr;    // host writes requests here
    HANDLE fromServer_ = nullptr;  // host reads lines here
    HANDLE watcher_ = nullptr;
    HANDLE stopWatching_ = nullptr;
    DWORD lifetimeLimitMs_ = 0;
    uint64_t serverInputValue_ = 0;
    uint64_t serverOutputValue_ = 0;
    std::string pending_;
    DWORD lastError_ = 0;
};

// Formats a handle value the way the server reads it: bare hexadecimal.
std::wstring HexArgument(uint64_t value);

// Quotes one command-line argument so that CommandLineToArgvW gives it back
// unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

// The folder that holds the running executable, with a trailing backslash.
std::wstring ExecutableFolder();

}  // namespace host
