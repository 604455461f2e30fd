#include "host/engine/ServerProcess.h"

namespace host {

namespace {

// Every inheritable handle in the host is handed to every child started
// while it is open; starting one server at a time keeps each server's pipe
// ends out of the others, so that each pipe breaks when its own server ends.
CRITICAL_SECTION* StartLock() {
    static CRITICAL_SECTION lock;
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(
        &once,
        [](PINIT_ONCE, PVOID, PVOID*) -> BOOL {
            InitializeCriticalSection(&lock);
            return TRUE;
        },
        nullptr, nullptr);
    return &lock;
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

std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring folder(path, length);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

ServerProcess::~ServerProcess() {
    if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
        Kill();
    CloseAll();
}

void ServerProcess::CloseAll() {
    if (stopWatching_)
        SetEvent(stopWatching_);
    if (watcher_)
        WaitForSingleObject(watcher_, INFINITE);
    CloseIfOpen(&watcher_);
    CloseIfOpen(&stopWatching_);
    CloseIfOpen(&toServer_);
    CloseIfOpen(&fromServer_);
    CloseIfOpen(&process_);
}

bool ServerProcess::Start(const LaunchOptions& options) {
    CloseAll();
    pending_.clear();
    lastError_ = 0;

    EnterCriticalSection(StartLock());
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE serverInput = nullptr;
    HANDLE serverOutput = nullptr;
    bool ok = CreatePipe(&serverInput, &toServer_, &inheritable, 0) &&
              CreatePipe(&fromServer_, &serverOutput, &inheritable, 0);
    if (ok) {
        SetHandleInformation(toServer_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(fromServer_, HANDLE_FLAG_INHERIT, 0);
        serverInputValue_ = reinterpret_cast<uint64_t>(serverInput);
        serverOutputValue_ = reinterpret_cast<uint64_t>(serverOutput);

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

        // Standard output is the output pipe too, for servers told to write
        // there (no output argument).
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = serverInput;
        startup.hStdOutput = serverOutput;
        startup.hStdError = serverOutput;
        PROCESS_INFORMATION info = {};
        ok = CreateProcessW(options.serverPath.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                            nullptr, nullptr, &startup, &info);
        if (ok) {
            process_ = info.hProcess;
            processId_ = info.dwProcessId;
            CloseHandle(info.hThread);
        }
    }
    if (!ok)
        lastError_ = GetLastError();
    CloseIfOpen(&serverInput);
    CloseIfOpen(&serverOutput);
    LeaveCriticalSection(StartLock());

    if (!ok) {
        CloseAll();
        return false;
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

bool ServerProcess::WriteRaw(const std::string& bytes) {
    if (!toServer_)
        return false;
    DWORD written = 0;
    return WriteFile(toServer_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool ServerProcess::ReadLine(std::string* line) {
    line->clear();
    for (;;) {
        size_t feed = pending_.find('\n');
        if (feed != std::string::npos) {
            line->assign(pending_, 0, feed + 1);
            pending_.erase(0, feed + 1);
            return true;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!fromServer_ || !ReadFile(fromServer_, buffer, sizeof(buffer), &got, nullptr) || got == 0) {
            line->swap(pending_);
            pending_.clear();
            return false;
        }
        pending_.append(buffer, got);
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

bool ServerProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
    if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    if (exitCode)
        *exitCode = code;
    return true;
}

void ServerProcess::Kill() {
    if (process_) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
    }
}

}  // namespace host
