#include "server/CommandLine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct HexCase {
    const wchar_t* text;
    uint64_t value;
};

TEST(ParseHexArgument, ReadsBareHexadecimalUpToTheFirstOtherCharacter) {
    const HexCase cases[] = {
        {L"1a4", 0x1A4},
        {L"B00", 0xB00},
        {L"3f2", 0x3F2},
        {L"0x1A4", 0},                       // the x ends the number after the 0
        {L"12g4", 0x12},                     // illegal digit ends it
        {L"", 0},                            // empty
        {L"-5", 0},                          // no sign
        {L" 5", 0},                          // no leading white space
        {L"ffffffffffffffff", ~0ull},        // 16 digits, all of 64 bits
        {L"123456789abcdef01", 0x23456789abcdef01ull},  // beyond 16 digits, the last 16 count
    };
    for (const HexCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "argument '" << std::wstring(c.text).c_str() << "'");
        EXPECT_EQ(ParseHexArgument(c.text), c.value);
    }
    EXPECT_EQ(ParseHexArgument(nullptr), 0u);
}

TEST(ReadServerArguments, TakesFourPositionalArgumentsAndIgnoresTheRest) {
    ServerArguments arguments;
    ASSERT_TRUE(ReadServerArguments(L"server.exe 1a4 B00 3f2 \"C:\\Dump Folder\" extra", &arguments));
    EXPECT_EQ(arguments.inputPipe, 0x1A4u);
    EXPECT_EQ(arguments.outputPipe, 0xB00u);
    EXPECT_EQ(arguments.hostWindow, 0x3F2u);
    EXPECT_EQ(CStringW(arguments.dumpFolder), CStringW(L"C:\\Dump Folder"));
}

TEST(ReadServerArguments, MissingArgumentsAreZeroAndNoFolder) {
    ServerArguments arguments;
    ASSERT_TRUE(ReadServerArguments(L"server.exe 10", &arguments));
    EXPECT_EQ(arguments.inputPipe, 0x10u);
    EXPECT_EQ(arguments.outputPipe, 0u);
    EXPECT_EQ(arguments.hostWindow, 0u);
    EXPECT_TRUE(arguments.dumpFolder.IsNull());
}

TEST(ReadServerArguments, AnEmptyFolderArgumentMeansNoFolder) {
    ServerArguments arguments;
    ASSERT_TRUE(ReadServerArguments(L"server.exe 1 2 3 \"\"", &arguments));
    EXPECT_EQ(arguments.hostWindow, 3u);
    EXPECT_TRUE(arguments.dumpFolder.IsNull());
}

TEST(ReadServerArguments, AFolderWithATrailingBackslashIsKeptUnchanged) {
    ServerArguments arguments;
    ASSERT_TRUE(ReadServerArguments(L"server.exe 1 2 3 C:\\Dumps\\", &arguments));
    EXPECT_EQ(CStringW(arguments.dumpFolder), CStringW(L"C:\\Dumps\\"));
}

}  // namespace
