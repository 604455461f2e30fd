#include "host/engine/servers/ServerProcess.h"

namespace host {

namespace {

// Every inheritable handle in the host is handed to every child started
// while it is open; starting one server at a time keeps each server's pipe
// ends out of the others, so that each pipe breaks when its own server ends.
CRITICAL_SECTION startLock;

// A function of its own, not a lambda: the callback is __stdcall, which a
// lambda cannot be on x86 (the engine is built for x86 too, for the x86
// server's tests).
BOOL CALLBACK InitializeStartLock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&startLock);
    return TRUE;
}

CRITICAL_SECTION* StartLock() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&once, InitializeStartLock, nullptr, nullptr);
    return &startLock;
}

void CloseIfOpen(HANDLE* handle) {
    if (*handle) {
        CloseHandle(*handle);
        *handle = nullptr;
    }
}

void ReplaceAll(std::wstring* text, const std::wstring& from, const std::wstring& to) {
    for (size_t at = text->find(from); at != std::wstring::npos; at = text->find(from, at + to.size()))
        text->replace(at, from.size(), to);
}

}  // namespace

std::wstring HexArgument(uint64_t value) {
    wchar_t text[17];
    const wchar_t* digits = L"0123456789ABCDEF";
    int n = 16;
    text[n] = 0;
    do {
        text[--n] = digits[value & 0xF];
        value >>= 4;
    } while (value);
    return std::wstring(text + n);
}

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        // Backslashes are literal unless they stand before a quotation mark.
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

namespace {

std::wstring FolderOfModule(HMODULE module) {
    wchar_t path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH * 4);
    std::wstring folder(path, length);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

}  // namespace

std::wstring ExecutableFolder() {
    return FolderOfModule(nullptr);
}

std::wstring EngineFolder() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&EngineFolder), &module);
    return FolderOfModule(module);
}

DWORD CountOpenHandles(HANDLE process) {
    DWORD count = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS)) {
            CloseHandle(copy);
            count++;
        }
    }
    return count;
}

namespace {

// The host's ends of the pipes are named pipes, which (unlike anonymous
// ones) can be read and written with overlapped I/O; the server's ends are
// plain synchronous handles opened on them, as it expects.
struct PipePair {
    HANDLE host = nullptr;    // overlapped, not inheritable
    HANDLE server = nullptr;  // synchronous, inheritable
};

bool CreatePipePair(bool hostReads, DWORD bufferSize, PipePair* pair) {
    static LONG serial = 0;
    std::wstring name = L"\\\\.\\pipe\\scan-host-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(InterlockedIncrement(&serial));
    pair->host = CreateNamedPipeW(
        name.c_str(),
        (hostReads ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
            FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, bufferSize, bufferSize, 0, nullptr);
    if (pair->host == INVALID_HANDLE_VALUE) {
        pair->host = nullptr;
        return false;
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    pair->server = CreateFileW(name.c_str(), hostReads ? GENERIC_WRITE : GENERIC_READ, 0,
                               &inheritable, OPEN_EXISTING, 0, nullptr);
    if (pair->server == INVALID_HANDLE_VALUE) {
        pair->server = nullptr;
        CloseIfOpen(&pair->host);
        return false;
    }
    return true;
}

// A request line is at most 64 KiB; the server's lines come one write each.
constexpr DWORD kPipeBufferSize = 128 * 1024;

// After the process has ended, what it wrote is in the pipe already; a read
// still pending after this long means a child of a plug-in holds the pipe.
constexpr uint64_t kDrainAfterExitMs = 200;

}  // namespace

ServerProcess::ServerProcess() {
    lines_.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pluginOutput_.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

ServerProcess::~ServerProcess() {
    if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
        Kill();
    CloseAll();
    CloseIfOpen(&lines_.event);
    CloseIfOpen(&pluginOutput_.event);
    CloseIfOpen(&writeEvent_);
}

void ServerProcess::CloseAll() {
    if (stopWatching_)
        SetEvent(stopWatching_);
    if (watcher_)
        WaitForSingleObject(watcher_, INFINITE);
    CloseIfOpen(&watcher_);
    CloseIfOpen(&stopWatching_);
    Cancel(&lines_);
    Cancel(&pluginOutput_);
    CloseIfOpen(&lines_.pipe);
    CloseIfOpen(&pluginOutput_.pipe);
    CloseIfOpen(&toServer_);
    CloseIfOpen(&process_);
}

bool ServerProcess::Start(const LaunchOptions& options) {
    CloseAll();
    pending_.clear();
    pluginText_.clear();
    pluginTextDropped_ = 0;
    lastError_ = 0;

    PipePair input, output, plugin;
    HANDLE nullInput = nullptr;
    EnterCriticalSection(StartLock());
    bool ok = CreatePipePair(false, kPipeBufferSize, &input) &&
              CreatePipePair(true, kPipeBufferSize, &output);
    if (ok && options.separatePluginOutput) {
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        nullInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, OPEN_EXISTING, 0, nullptr);
        if (nullInput == INVALID_HANDLE_VALUE)
            nullInput = nullptr;
        ok = nullInput && CreatePipePair(true, kPipeBufferSize, &plugin);
    }
    if (ok) {
        serverInputValue_ = reinterpret_cast<uint64_t>(input.server);
        serverOutputValue_ = reinterpret_cast<uint64_t>(output.server);

        std::wstring arguments;
        if (options.useArgumentsTemplate) {
            arguments = options.argumentsTemplate;
            ReplaceAll(&arguments, L"{in}", HexArgument(serverInputValue_));
            ReplaceAll(&arguments, L"{out}", HexArgument(serverOutputValue_));
        } else {
            arguments = HexArgument(serverInputValue_) + L" " + HexArgument(serverOutputValue_) +
                        L" " + HexArgument(options.hostWindow) + L" " +
                        QuoteArgument(options.dumpFolder);
        }
        std::wstring commandLine = QuoteArgument(options.serverPath) + L" " + arguments;

        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        if (options.separatePluginOutput) {
            startup.hStdInput = nullInput;
            startup.hStdOutput = plugin.server;
            startup.hStdError = plugin.server;
        } else {
            startup.hStdInput = input.server;
            startup.hStdOutput = output.server;
            startup.hStdError = output.server;
        }
        PROCESS_INFORMATION info = {};
        ok = CreateProcessW(options.serverPath.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                            nullptr, nullptr, &startup, &info);
        if (ok) {
            process_ = info.hProcess;
            processId_ = info.dwProcessId;
            mainThreadId_ = info.dwThreadId;
            CloseHandle(info.hThread);
        }
    }
    if (!ok)
        lastError_ = GetLastError();
    // The server holds its own copies now; the host must not, or the pipes
    // would never break when it dies.
    CloseIfOpen(&input.server);
    CloseIfOpen(&output.server);
    CloseIfOpen(&plugin.server);
    CloseIfOpen(&nullInput);
    LeaveCriticalSection(StartLock());

    toServer_ = input.host;
    lines_.pipe = output.host;
    pluginOutput_.pipe = plugin.host;
    if (!ok) {
        CloseAll();
        return false;
    }
    lines_.ended = false;
    Issue(&lines_);
    if (pluginOutput_.pipe) {
        pluginOutput_.ended = false;
        Issue(&pluginOutput_);
    }
    lifetimeLimitMs_ = options.lifetimeLimitMs;
    if (lifetimeLimitMs_) {
        stopWatching_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        watcher_ = CreateThread(nullptr, 0, WatchLifetime, this, 0, nullptr);
    }
    return true;
}

DWORD WINAPI ServerProcess::WatchLifetime(void* self) {
    auto* server = static_cast<ServerProcess*>(self);
    HANDLE waits[] = {server->stopWatching_, server->process_};
    if (WaitForMultipleObjects(2, waits, FALSE, server->lifetimeLimitMs_) == WAIT_TIMEOUT)
        TerminateProcess(server->process_, WAIT_TIMEOUT);
    return 0;
}

bool ServerProcess::Issue(PipeReader* reader) {
    if (reader->ended || reader->pending)
        return !reader->ended;
    reader->overlapped = OVERLAPPED{};
    reader->overlapped.hEvent = reader->event;
    // A read that completes at once still signals the event and is taken
    // by Complete like any other.
    if (ReadFile(reader->pipe, reader->buffer, sizeof(reader->buffer), nullptr,
                 &reader->overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
        reader->pending = true;
        return true;
    }
    reader->ended = true;
    return false;
}

bool ServerProcess::Complete(PipeReader* reader, std::string* to) {
    if (!reader->pending)
        return false;
    DWORD got = 0;
    if (!GetOverlappedResult(reader->pipe, &reader->overlapped, &got, FALSE)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return false;
        reader->pending = false;
        // A read is cancelled when the thread that issued it ends, and a
        // server passes from thread to thread (a lane, then the reaper):
        // the pipe is still open, and the next read goes on where this one
        // stopped. Unread, the server's next flush would wait for ever.
        if (error == ERROR_OPERATION_ABORTED)
            return Issue(reader) && Complete(reader, to);
        reader->ended = true;
        return false;
    }
    reader->pending = false;
    to->append(reader->buffer, got);
    Issue(reader);
    return true;
}

void ServerProcess::Cancel(PipeReader* reader) {
    if (reader->pending) {
        // The buffer and the OVERLAPPED must outlive the read: wait for the
        // cancelled read to be done with them.
        CancelIoEx(reader->pipe, &reader->overlapped);
        DWORD got = 0;
        GetOverlappedResult(reader->pipe, &reader->overlapped, &got, TRUE);
        reader->pending = false;
    }
    reader->ended = true;
}

void ServerProcess::CollectPluginOutput() {
    while (Complete(&pluginOutput_, &pluginText_)) {
        if (pluginText_.size() > kPluginOutputKept) {
            size_t drop = pluginText_.size() - kPluginOutputKept;
            pluginText_.erase(0, drop);
            pluginTextDropped_ += drop;
        }
    }
}

std::string ServerProcess::TakePluginOutput(uint64_t* dropped) {
    CollectPluginOutput();
    std::string text;
    text.swap(pluginText_);
    if (dropped)
        *dropped = pluginTextDropped_;
    pluginTextDropped_ = 0;
    return text;
}

bool ServerProcess::WriteRaw(const std::string& bytes, uint64_t deadline) {
    if (!toServer_)
        return false;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = writeEvent_;
    if (!WriteFile(toServer_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    DWORD wait = INFINITE;
    if (deadline) {
        uint64_t now = GetTickCount64();
        wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    }
    DWORD written = 0;
    if (WaitForSingleObject(writeEvent_, wait) != WAIT_OBJECT_0) {
        CancelIoEx(toServer_, &overlapped);
        GetOverlappedResult(toServer_, &overlapped, &written, TRUE);
        return false;
    }
    return GetOverlappedResult(toServer_, &overlapped, &written, FALSE) && written == bytes.size();
}

LineWait ServerProcess::NextLine(std::string* line, uint64_t deadline, const HANDLE* wake,
                                 DWORD wakeCount, DWORD* woken) {
    line->clear();
    uint64_t drainUntil = 0;
    for (;;) {
        Complete(&lines_, &pending_);
        size_t feed = pending_.find('\n');
        if (feed != std::string::npos) {
            line->assign(pending_, 0, feed + 1);
            pending_.erase(0, feed + 1);
            return LineWait::Line;
        }
        if (lines_.ended) {
            line->swap(pending_);
            pending_.clear();
            return LineWait::Ended;
        }
        CollectPluginOutput();

        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD count = 0;
        handles[count++] = lines_.event;
        DWORD pluginIndex = MAXIMUM_WAIT_OBJECTS;
        if (pluginOutput_.pending) {
            pluginIndex = count;
            handles[count++] = pluginOutput_.event;
        }
        DWORD processIndex = MAXIMUM_WAIT_OBJECTS;
        if (!drainUntil && process_) {
            processIndex = count;
            handles[count++] = process_;
        }
        DWORD wakeBase = count;
        for (DWORD i = 0; i < wakeCount && count < MAXIMUM_WAIT_OBJECTS; i++)
            handles[count++] = wake[i];

        uint64_t now = GetTickCount64();
        uint64_t until = deadline;
        if (drainUntil && (!until || drainUntil < until))
            until = drainUntil;
        DWORD wait = INFINITE;
        if (until)
            wait = now >= until ? 0 : static_cast<DWORD>(until - now);
        DWORD result = WaitForMultipleObjects(count, handles, FALSE, wait);
        if (result == WAIT_TIMEOUT) {
            if (drainUntil && GetTickCount64() >= drainUntil) {
                Cancel(&lines_);
                continue;
            }
            return LineWait::TimedOut;
        }
        if (result < WAIT_OBJECT_0 || result >= WAIT_OBJECT_0 + count) {
            lastError_ = GetLastError();
            Cancel(&lines_);
            continue;
        }
        DWORD index = result - WAIT_OBJECT_0;
        if (index == processIndex) {
            drainUntil = GetTickCount64() + kDrainAfterExitMs;
        } else if (index >= wakeBase) {
            if (woken)
                *woken = index - wakeBase;
            return LineWait::Woken;
        } else if (index == pluginIndex) {
            CollectPluginOutput();
        }
    }
}

bool ServerProcess::ReadUntilPrompt(std::vector<std::string>* lines) {
    std::string line;
    while (ReadLine(&line)) {
        if (line == "ready:\n")
            return true;
        lines->push_back(line);
    }
    if (!line.empty())
        lines->push_back(line);
    return false;
}

std::string ServerProcess::ReadToEnd() {
    std::string all;
    std::string line;
    bool more = true;
    while (more) {
        more = ReadLine(&line);
        all += line;
    }
    return all;
}

void ServerProcess::CloseInput() {
    CloseIfOpen(&toServer_);
}

void ServerProcess::DiscardOutput() {
    std::string dropped;
    while (Complete(&lines_, &dropped))
        dropped.clear();
    pending_.clear();
    CollectPluginOutput();
    pluginText_.clear();
}

bool ServerProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
    if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    if (exitCode)
        *exitCode = code;
    return true;
}

bool ServerProcess::HasExited(DWORD* exitCode) const {
    if (!process_ || WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process_, exitCode);
    return true;
}

void ServerProcess::Terminate(UINT exitCode) {
    if (process_)
        TerminateProcess(process_, exitCode);
}

void ServerProcess::Kill() {
    if (process_) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
    }
}

}  // namespace host
