#include "server/MessageChannel.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "server/ServerState.h"

namespace {

// The channel writes to whatever serverState.outputPipe holds. Here that is
// the client end of a message-mode pipe: each WriteFile arrives as one
// message, so reading message by message shows how many writes a line took.
class MessageChannelTest : public testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        std::wstring name = L"\\\\.\\pipe\\MessageChannelTest-" + std::to_wstring(GetCurrentProcessId()) +
                            L"-" + std::to_wstring(++serial);
        reader_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                   kPipeBytes, 0, nullptr);
        ASSERT_NE(reader_, INVALID_HANDLE_VALUE) << GetLastError();
        writer_ = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(writer_, INVALID_HANDLE_VALUE) << GetLastError();
        savedOutput_ = serverState.outputPipe;
        serverState.outputPipe = writer_;
    }

    void TearDown() override {
        serverState.outputPipe = savedOutput_;
        if (writer_ != INVALID_HANDLE_VALUE)
            CloseHandle(writer_);
        if (reader_ != INVALID_HANDLE_VALUE)
            CloseHandle(reader_);
    }

    // Runs log on a thread of its own and collects what it writes, one
    // string per write. The channel flushes after each write, and a flush on
    // a pipe waits until the reader has taken everything, so the reading
    // must go on while log runs.
    std::vector<std::string> Capture(std::function<void()> log) {
        std::vector<std::string> messages;
        HANDLE thread = CreateThread(
            nullptr, 0,
            [](void* context) WINAPI -> DWORD {
                (*static_cast<std::function<void()>*>(context))();
                return 0;
            },
            &log, 0, nullptr);
        if (!thread) {
            ADD_FAILURE() << "no thread: " << GetLastError();
            return messages;
        }
        std::vector<char> buffer(kPipeBytes);
        DWORD deadline = GetTickCount() + 20000;
        for (bool ended = false;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(reader_, nullptr, 0, nullptr, &available, nullptr)) {
                ADD_FAILURE() << "peek failed: " << GetLastError();
                break;
            }
            if (available > 0) {
                DWORD got = 0;
                if (!ReadFile(reader_, buffer.data(), kPipeBytes, &got, nullptr)) {
                    ADD_FAILURE() << "read failed: " << GetLastError();
                    break;
                }
                messages.emplace_back(buffer.data(), got);
                continue;
            }
            if (ended)
                break;  // a last look after the writer ended found nothing more
            if (GetTickCount() > deadline) {
                ADD_FAILURE() << "the logging thread did not end";
                break;
            }
            ended = WaitForSingleObject(thread, 5) == WAIT_OBJECT_0;
        }
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        return messages;
    }

    static constexpr DWORD kPipeBytes = 1 << 20;
    HANDLE reader_ = INVALID_HANDLE_VALUE;
    HANDLE writer_ = INVALID_HANDLE_VALUE;
    HANDLE savedOutput_ = nullptr;
};

struct LineCase {
    std::function<void()> log;
    std::string bytes;
};

TEST_F(MessageChannelTest, EachCallWritesItsTaggedUtf8LineInOneWrite) {
    const std::string longText(30000, 'x');
    const std::wstring longWide(30000, L'x');
    const LineCase cases[] = {
        {[] { LogInfo(L"Loading library...\n"); }, "info:Loading library...\n"},  // 24 bytes
        {[] { LogError(L"%s\n", L"Bad magic"); }, "error:Bad magic\n"},           // 16 bytes
        {[] { LogError(L"%s\n", L""); }, "error:\n"},                             // 7 bytes
        {[] { LogWarning(L"Unhandled audioMaster opCode - %i\n", -3); },
         "warn:Unhandled audioMaster opCode - -3\n"},
        {[] { LogData(L"  \"numInputs\": %i,\n", 2); }, ">:  \"numInputs\": 2,\n"},  // report tag
        {[] { LogInfo(L"Found shell: %.8X - %S\n", 0xABCDu, "Sub"); },
         "info:Found shell: 0000ABCD - Sub\n"},
        {[] { LogInfo(L"Looking for entry point in module %016I64X\n", 0x7FF612340000ull); },
         "info:Looking for entry point in module 00007FF612340000\n"},
        {[] { LogInfo(L"Scanning plugin: '%s'\n", L"Caf\u00E9"); },
         "info:Scanning plugin: 'Caf\xC3\xA9'\n"},                 // U+00E9 leaves as C3 A9
        {[] { LogInfo(L"Scanning plugin: '%s'\n", L"\U0001F600"); },
         "info:Scanning plugin: '\xF0\x9F\x98\x80'\n"},            // a surrogate pair, one sequence
        {[] { LogInfo(L"Query host can do: '%S'\n", "\xE9"); },
         "info:Query host can do: '\xC3\xA9'\n"},                  // a byte widened, then UTF-8
        {[] { LogInfo(L"Scanning plugin: '%s'\n", L"a\nb"); },
         "info:Scanning plugin: 'a\nb'\n"},                        // line feed in an argument passes
        {[] { LogInfo(L"Scanning plugin: '%s'\n", CStringW(L"C:\\x.dll")); },
         "info:Scanning plugin: 'C:\\x.dll'\n"},                   // a string object as it is
        {[] { LogInfo(L"Scanning plugin: '%s'\n", CStringW()); },
         "info:Scanning plugin: '(null)'\n"},                      // the null string
        {[&longWide] { LogInfo(L"%s\n", longWide.c_str()); }, "info:" + longText + "\n"},  // long, still one write
        {[] { WritePrompt(); }, "ready:\n"},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "expected line: " << c.bytes.substr(0, 60));
        std::vector<std::string> messages = Capture(c.log);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], c.bytes);
    }
}

TEST_F(MessageChannelTest, LinesFromSeveralThreadsStayWhole) {
    // Plug-ins may call the host callback on threads of their own.
    constexpr int kThreads = 4;
    constexpr int kLines = 100;
    auto worker = [](void* context) WINAPI -> DWORD {
        int thread = static_cast<int>(reinterpret_cast<intptr_t>(context));
        for (int i = 0; i < kLines; i++)
            LogInfo(L"Audio master callback: %i - %s\n", thread, L"audioMasterVersion");
        return 0;
    };
    std::vector<std::string> messages = Capture([worker] {
        HANDLE threads[kThreads];
        for (int t = 0; t < kThreads; t++)
            threads[t] = CreateThread(nullptr, 0, worker, reinterpret_cast<void*>(static_cast<intptr_t>(t)), 0,
                                      nullptr);
        WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
        for (HANDLE thread : threads)
            CloseHandle(thread);
    });
    ASSERT_EQ(messages.size(), static_cast<size_t>(kThreads * kLines));
    for (int t = 0; t < kThreads; t++) {
        std::string line = "info:Audio master callback: " + std::to_string(t) + " - audioMasterVersion\n";
        EXPECT_EQ(std::count(messages.begin(), messages.end(), line), kLines) << line;
    }
}

TEST(MessageChannelOnAnAnonymousPipe, TheReaderGetsTheExactBytes) {
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    ASSERT_TRUE(CreatePipe(&reader, &writer, nullptr, 0));
    HANDLE saved = serverState.outputPipe;
    serverState.outputPipe = writer;
    // The flush after each line waits for this thread to read it.
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void*) WINAPI -> DWORD {
            LogInfo(L"Orvane Plugin Scan Server (x64)\n");
            WritePrompt();
            CloseHandle(serverState.outputPipe);
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);

    std::string all;
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(reader, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        all.append(buffer, got);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    serverState.outputPipe = saved;
    CloseHandle(reader);
    EXPECT_EQ(all, "info:Orvane Plugin Scan Server (x64)\nready:\n");
}

TEST(MessageChannelWithoutAReader, LoggingReturnsAtOnce) {
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    ASSERT_TRUE(CreatePipe(&reader, &writer, nullptr, 0));
    CloseHandle(reader);  // the host has gone

    struct Output {
        HANDLE handle;
        const char* what;
    };
    const Output outputs[] = {
        {writer, "a pipe whose reader has closed"},
        {nullptr, "no handle, as without a standard output"},
        {INVALID_HANDLE_VALUE, "an invalid handle"},
    };
    HANDLE saved = serverState.outputPipe;
    for (const Output& output : outputs) {
        SCOPED_TRACE(output.what);
        serverState.outputPipe = output.handle;
        // A write that blocked or faulted would keep the thread from ending.
        HANDLE thread = CreateThread(
            nullptr, 0,
            [](void*) WINAPI -> DWORD {
                for (int i = 0; i < 50; i++) {
                    LogInfo(L"Loading library...\n");
                    LogError(L"%s\n", L"Bad magic");
                    WritePrompt();
                }
                return 7;
            },
            nullptr, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeThread(thread, &code);
        EXPECT_EQ(code, 7u);  // the thread ran to its end
        CloseHandle(thread);
    }
    serverState.outputPipe = saved;
    CloseHandle(writer);
}

}  // namespace
