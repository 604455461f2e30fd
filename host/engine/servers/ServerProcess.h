#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/engine/util/Text.h"

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
    // By default the server's standard output and error are its output
    // pipe, for servers told to write their lines there (no output
    // argument). A scanner gives them a pipe of their own instead, so that
    // a plug-in that prints cannot forge the server's lines; what arrives
    // there is the plug-ins' own output (TakePluginOutput). Standard input
    // is then the null device, so that no plug-in can read requests.
    bool separatePluginOutput = false;
};

// How a wait for the server's next line ended.
enum class LineWait {
    Line,      // a whole line arrived
    Ended,     // the output ended: the server closed it or is gone
    TimedOut,  // the deadline passed first
    Woken,     // one of the caller's handles was signalled first
};

// One running scan server and the host's ends of its pipes. Not copyable.
// The host's ends are overlapped, so that every wait can also watch the
// server's process, a deadline and the caller's own handles: a plug-in can
// hang the server, or keep its pipes open after it died.
class ServerProcess {
public:
    ServerProcess();
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Creates the pipes and starts the server. False, with the system's
    // error code in LastError(), when either fails.
    bool Start(const LaunchOptions& options);

    // Writes bytes to the server's input as they are; WriteLine adds "\n".
    // False when the server's input is closed or the deadline (a
    // GetTickCount64 value, 0 for none) passes first.
    bool WriteRaw(const std::string& bytes, uint64_t deadline = 0);
    bool WriteLine(const std::string& utf8, uint64_t deadline = 0) {
        return WriteRaw(utf8 + "\n", deadline);
    }

    // Waits for the next line of the server's output, its line feed
    // included, until the deadline (a GetTickCount64 value, 0 for none) or
    // until one of the wake handles is signalled (*woken gets its index).
    // When the output ends, *line holds what came after the last line feed.
    // Once the process has ended, what it wrote is still delivered, but a
    // pipe that a child of a plug-in holds open is not waited for.
    LineWait NextLine(std::string* line, uint64_t deadline = 0, const HANDLE* wake = nullptr,
                      DWORD wakeCount = 0, DWORD* woken = nullptr);

    // Reads one line, waiting as long as it takes. False when the output
    // ends first; *line then holds what came.
    bool ReadLine(std::string* line) { return NextLine(line) == LineWait::Line; }

    // Reads lines up to and including the prompt "ready:\n". The prompt is
    // not added to lines. False when the output ends first.
    bool ReadUntilPrompt(std::vector<std::string>* lines);

    // Every byte still to come, until the server closes its output.
    std::string ReadToEnd();

    // The plug-ins' output (separatePluginOutput) collected so far and not
    // yet taken: at most the last kPluginOutputKept bytes of it, and how
    // many bytes before them were dropped.
    static constexpr size_t kPluginOutputKept = 64 * 1024;
    std::string TakePluginOutput(uint64_t* dropped = nullptr);

    // Closes the host's end of the input pipe, which tells the server to
    // shut down.
    void CloseInput();

    // Takes whatever the server writes and drops it. The server flushes
    // every line, and a flush on a pipe waits until the reader has read:
    // a server on its way out whose lines nobody reads never ends. The
    // handles to wait on are the ones signalled when there is more to take.
    void DiscardOutput();
    HANDLE outputEvent() const { return lines_.pending ? lines_.event : nullptr; }
    HANDLE pluginOutputEvent() const { return pluginOutput_.pending ? pluginOutput_.event : nullptr; }

    // Waits for the server to end; false on time-out.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
    // True once the process has ended; *exitCode gets its code.
    bool HasExited(DWORD* exitCode = nullptr) const;

    // Ends the server with the given exit code without waiting for it.
    void Terminate(UINT exitCode);
    // Ends the server at once and waits until it is gone.
    void Kill();

    HANDLE process() const { return process_; }
    DWORD processId() const { return processId_; }
    // The server's own thread, the one that runs its requests.
    DWORD mainThreadId() const { return mainThreadId_; }
    DWORD LastError() const { return lastError_; }
    // The handle values the server was given, as seen in its own process.
    uint64_t serverInputHandle() const { return serverInputValue_; }
    uint64_t serverOutputHandle() const { return serverOutputValue_; }

private:
    // One overlapped read kept in flight on a pipe the host reads.
    struct PipeReader {
        HANDLE pipe = nullptr;
        HANDLE event = nullptr;
        OVERLAPPED overlapped = {};
        char buffer[16 * 1024];
        bool pending = false;
        bool ended = true;
    };
    static DWORD WINAPI WatchLifetime(void* self);
    static bool Issue(PipeReader* reader);
    static bool Complete(PipeReader* reader, std::string* to);
    static void Cancel(PipeReader* reader);
    void CollectPluginOutput();
    void CloseAll();

    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    DWORD mainThreadId_ = 0;
    HANDLE toServer_ = nullptr;  // host writes requests here
    HANDLE writeEvent_ = nullptr;
    PipeReader lines_;         // the server's output pipe
    PipeReader pluginOutput_;  // the server's standard output and error, when separate
    HANDLE watcher_ = nullptr;
    HANDLE stopWatching_ = nullptr;
    DWORD lifetimeLimitMs_ = 0;
    uint64_t serverInputValue_ = 0;
    uint64_t serverOutputValue_ = 0;
    std::string pending_;
    std::string pluginText_;
    uint64_t pluginTextDropped_ = 0;
    DWORD lastError_ = 0;
};

// Formats a handle value the way the server reads it: bare hexadecimal.
std::wstring HexArgument(uint64_t value);

// Quotes one command-line argument so that CommandLineToArgvW gives it back
// unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

// The folder that holds the running executable, with a trailing backslash.
std::wstring ExecutableFolder();

// The folder of the module the engine is built into, with a trailing
// backslash: the program's own folder when it links the engine, the folder
// of scanengine.dll when a host loads that. Its servers are found there.
std::wstring EngineFolder();

// The handles a process holds open, for checks that a server leaks none.
// Wine answers GetProcessHandleCount for other processes with 0, so they are
// counted one by one: every value that can be duplicated out of the process
// is an open handle there.
DWORD CountOpenHandles(HANDLE process);

}  // namespace host
