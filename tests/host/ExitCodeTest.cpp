#include "host/engine/failures/ExitCode.h"

#include <gtest/gtest.h>

namespace {

// Which exit codes are deaths by an exception, and the fault each tells of.
TEST(ExitCode, OnlyExceptionCodesTellOfAFault) {
    struct Row {
        uint32_t code;
        const char* name;  // null: the code tells of no fault
    } rows[] = {
        {0xC0000409, "stack buffer overrun (fast fail)"},
        {0xC0000602, "fail fast"},
        {0xC0000005, "access violation"},
        {0xC00000FD, "stack overflow"},
        {0xC0000374, "heap corruption"},
        {0xC0000142, "exception 0xC0000142"},  // an error status without a name of ours
        {0xCFFFFFFF, "exception 0xCFFFFFFF"},
        {0x80000003, "breakpoint"},
        {0xE06D7363, "C++ exception (Microsoft runtime)"},
        {0xC000013A, nullptr},  // a console's Ctrl+C
        {0xD0000000, nullptr},  // past the error statuses
        {0xBFFFFFFF, nullptr},
        {0x80000005, nullptr},  // a warning status, not an exception
        {0xFFFFFFFF, nullptr},  // ExitProcess(-1)
        {0xE0000001, nullptr},
        {9, nullptr},
        {0, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(host::ExitCodeText(row.code));
        host::Fault fault;
        ASSERT_EQ(host::FaultFromExitCode(row.code, &fault), row.name != nullptr);
        if (!row.name)
            continue;
        EXPECT_EQ(fault.kind, "crash");
        EXPECT_EQ(fault.code, row.code);
        EXPECT_EQ(fault.name, row.name);
        EXPECT_EQ(fault.module, "");
        EXPECT_FALSE(fault.threadKnown);
        EXPECT_NE(fault.text.find(host::ExitCodeText(row.code)), std::string::npos) << fault.text;
    }
}

}  // namespace
