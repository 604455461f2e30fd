#include "scan/vst2/HostCallback.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "server/ServerState.h"
#include "tests/support/OutputCapture.h"

namespace {

using testing_support::OutputCapture;

struct Call {
    VstIntPtr result;
    std::string output;
};

Call CallHost(int32_t opcode, void* ptr = nullptr) {
    OutputCapture capture;
    // index, value and opt carry noise: the callback must not read them.
    VstIntPtr result = HostCallback(nullptr, opcode, 77, 0x1234, ptr, 0.5f);
    return {result, capture.Finish()};
}

class HostCallbackTest : public testing::Test {
protected:
    void SetUp() override {
        serverState.currentShellId = 0;
        serverState.pluginWantsMidi = false;
    }
    void TearDown() override {
        serverState.currentShellId = 0;
        serverState.pluginWantsMidi = false;
    }
};

struct OpcodeCase {
    int32_t opcode;
    VstIntPtr result;
    const char* output;
};

TEST_F(HostCallbackTest, AnswersEachOpcodeAndLogsItByName) {
    const OpcodeCase cases[] = {
        {0, 0, "info:Audio master callback: 0 - audioMasterAutomate\n"},
        {1, 2400, "info:Audio master callback: 1 - audioMasterVersion\n"},
        {2, 0, "info:Audio master callback: 2 - audioMasterCurrentId\n"},  // no probe running
        {14, 1, "info:Audio master callback: 14 - audioMasterNeedIdle\n"},
        {16, 44100, "info:Audio master callback: 16 - audioMasterGetSampleRate\n"},
        {17, 512, "info:Audio master callback: 17 - audioMasterGetBlockSize\n"},
        {23, 4, "info:Audio master callback: 23 - audioMasterGetCurrentProcessLevel\n"},  // offline
        {34, 3, "info:Audio master callback: 34 - audioMasterGetVendorVersion\n"},
        {3, 0,  // named in the table, still unhandled
         "info:Audio master callback: 3 - audioMasterIdle\n"
         "warn:Unhandled audioMaster opCode - 3\n"},
        {5, 0,  // the gap in the table
         "info:Audio master callback: 5 - <unknown>\n"
         "warn:Unhandled audioMaster opCode - 5\n"},
        {31, 0,
         "info:Audio master callback: 31 - audioMasterGetOutputSpeakerArrangement\n"
         "warn:Unhandled audioMaster opCode - 31\n"},
        {49, 0,  // the last row of the table
         "info:Audio master callback: 49 - audioMasterGetInputSpeakerArrangement\n"
         "warn:Unhandled audioMaster opCode - 49\n"},
        {50, 0,  // just past the table
         "info:Audio master callback: 50 - <unknown>\n"
         "warn:Unhandled audioMaster opCode - 50\n"},
        {-1, 0,
         "info:Audio master callback: -1 - <unknown>\n"
         "warn:Unhandled audioMaster opCode - -1\n"},
        {INT32_MIN, 0,
         "info:Audio master callback: -2147483648 - <unknown>\n"
         "warn:Unhandled audioMaster opCode - -2147483648\n"},
    };
    for (const OpcodeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "opcode " << c.opcode);
        Call call = CallHost(c.opcode);
        EXPECT_EQ(call.result, c.result);
        EXPECT_EQ(call.output, c.output);
    }
    EXPECT_FALSE(serverState.pluginWantsMidi) << "only audioMasterWantMidi sets the flag";
}

TEST_F(HostCallbackTest, WantMidiSetsTheFlagAndAnswersZeroWithoutWarning) {
    Call call = CallHost(audioMasterWantMidi);
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.output, "info:Audio master callback: 6 - audioMasterWantMidi\n");
    EXPECT_TRUE(serverState.pluginWantsMidi);

    CallHost(audioMasterWantMidi);
    EXPECT_TRUE(serverState.pluginWantsMidi) << "a second request leaves it set";
}

struct ShellIdCase {
    uint32_t bits;
    VstIntPtr result;
};

TEST_F(HostCallbackTest, CurrentIdIsTheShellIdSignExtended) {
    const ShellIdCase cases[] = {
        {0x00000000u, 0},                     // no sub-plug-in requested
        {0x12345678u, 0x12345678},
        {0x7FFFFFFFu, 0x7FFFFFFF},            // largest positive
        {0x80000000u, -2147483648LL},         // top bit set: negative in all 64 bits
        {0xFFFFFFFFu, -1},
    };
    for (const ShellIdCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "shell id 0x" << std::hex << c.bits);
        serverState.currentShellId = static_cast<int32_t>(c.bits);
        Call call = CallHost(audioMasterCurrentId);
        EXPECT_EQ(call.result, c.result);
        EXPECT_EQ(call.output, "info:Audio master callback: 2 - audioMasterCurrentId\n");
    }
}

struct CanDoCase {
    const char* query;
    VstIntPtr result;
    const char* logged;  // the query as it reaches the pipe, UTF-8
};

TEST_F(HostCallbackTest, CanDoMatchesTheCapabilityTableIgnoringAsciiCase) {
    const CanDoCase cases[] = {
        {"sizeWindow", 1, "sizeWindow"},
        {"sendVstEvents", 1, "sendVstEvents"},
        {"sendVstMidiEvent", 1, "sendVstMidiEvent"},
        {"sendVstTimeInfo", 1, "sendVstTimeInfo"},
        {"supplyIdle", 1, "supplyIdle"},
        {"receiveVstEvents", 1, "receiveVstEvents"},
        {"receiveVstMidiEvent", 1, "receiveVstMidiEvent"},
        {"startStopProcess", 1, "startStopProcess"},
        {"sendVstMidiEventFlagIsRealtime", 1, "sendVstMidiEventFlagIsRealtime"},
        {"shellCategory", 1, "shellCategory"},
        {"ReceiveVstMidiEvent", 1, "ReceiveVstMidiEvent"},  // capital R
        {"SHELLCATEGORY", 1, "SHELLCATEGORY"},              // all upper case
        {"receiveVstMidi", 0, "receiveVstMidi"},            // a prefix of an entry
        {"sizeWindows", 0, "sizeWindows"},                  // an entry plus one letter
        {"offline", 0, "offline"},                          // not in the table
        {"", 0, ""},                                        // empty
        {"caf\xE9", 0, "caf\xC3\xA9"},                      // byte 0xE9 logged as U+00E9
        {"asked:sendVstEvents", 0, "asked:sendVstEvents"},  // an entry inside a longer text
    };
    for (const CanDoCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "query '" << c.query << "'");
        std::string query = c.query;  // writable, as a plug-in's own buffer
        Call call = CallHost(audioMasterCanDo, &query[0]);
        EXPECT_EQ(call.result, c.result);
        EXPECT_EQ(call.output, std::string("info:Query host can do: '") + c.logged + "'\n")
            << "the only line for a capability query";
    }
}

TEST_F(HostCallbackTest, CanDoWithNullTextAnswersZeroAndLogsEmptyText) {
    Call call = CallHost(audioMasterCanDo, nullptr);
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.output, "info:Query host can do: ''\n");
}

struct StringCase {
    int32_t opcode;
    const char* text;
    const char* output;
};

const StringCase kStringCases[] = {
    {audioMasterGetVendorString, "Greyhaven Software",
     "info:Audio master callback: 32 - audioMasterGetVendorString\n"},
    {audioMasterGetProductString, "Orvane",
     "info:Audio master callback: 33 - audioMasterGetProductString\n"},
};

TEST_F(HostCallbackTest, StringAnswersFillThePluginBufferWithATerminatedText) {
    for (const StringCase& c : kStringCases) {
        SCOPED_TRACE(c.text);
        // The plug-in's 64 bytes followed by 64 more that must stay as they are.
        unsigned char buffer[128];
        memset(buffer, 0xCC, sizeof buffer);
        Call call = CallHost(c.opcode, buffer);
        EXPECT_EQ(call.result, 1);
        EXPECT_EQ(call.output, c.output);
        size_t length = strlen(c.text);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length + 1),
                  std::string(c.text, length + 1));
        for (size_t i = length + 1; i < sizeof buffer; i++)
            ASSERT_EQ(buffer[i], 0xCC) << "byte " << i << " written past the NUL";
    }
}

TEST_F(HostCallbackTest, NullBufferForAStringAnswersZeroButIsStillLogged) {
    for (const StringCase& c : kStringCases) {
        SCOPED_TRACE(c.text);
        Call call = CallHost(c.opcode, nullptr);
        EXPECT_EQ(call.result, 0);
        EXPECT_EQ(call.output, c.output);
    }
}

TEST_F(HostCallbackTest, AnswersCallsFromAPluginThread) {
    serverState.currentShellId = 42;
    OutputCapture capture;
    VstIntPtr result = -7;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* out) WINAPI -> DWORD {
            *static_cast<VstIntPtr*>(out) =
                HostCallback(nullptr, audioMasterCurrentId, 0, 0, nullptr, 0.0f);
            HostCallback(nullptr, audioMasterWantMidi, 0, 0, nullptr, 0.0f);
            return 0;
        },
        &result, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(result, 42);
    EXPECT_TRUE(serverState.pluginWantsMidi);
    EXPECT_EQ(capture.Finish(),
              "info:Audio master callback: 2 - audioMasterCurrentId\n"
              "info:Audio master callback: 6 - audioMasterWantMidi\n");
}

}  // namespace
