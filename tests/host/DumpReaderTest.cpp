// Dumps of real faults and hangs, written by the real server (or of it),
// read back for where they happened.
#include "host/engine/failures/DumpReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/engine/failures/HangDump.h"
#include "host/engine/failures/PeFile.h"
#include "host/engine/plan/Discovery.h"
#include "host/engine/util/Text.h"
#include "tests/support/ScanSession.h"

namespace {

using testing_support::Kit;
using testing_support::PluginPath;
using testing_support::PluginRequest;
using testing_support::ScanSession;
using testing_support::TempFolder;

// Scans the plug-in in a fresh server of the kit that crashes on it, and
// reads the dump it leaves. With lateFault, the plug-in's thread faults
// after its report: the server must still be alive then, serving requests.
void CrashAndRead(const wchar_t* plugin, Kit kit, bool lateFault, host::DumpContents* dump,
                  uint32_t* mainThread) {
    TempFolder folder;
    ScanSession session(folder.path(), kit);
    ASSERT_TRUE(session.started());
    *mainThread = session.process().mainThreadId();
    session.Scan(PluginRequest(plugin, "", kit));
    for (int i = 0; lateFault && i < 20 && session.process().process(); i++)
        session.Scan(PluginRequest(L"slow_entry_100.dll", "", kit));
    ASSERT_EQ(session.WaitForExitCode(), 9u);
    std::vector<std::wstring> files = folder.FileNames();
    ASSERT_EQ(files.size(), 1u);
    std::string error;
    ASSERT_TRUE(host::ReadDump(folder.path() + L"\\" + files[0], dump, &error)) << error;
}

struct CrashCase {
    Kit kit;
    const wchar_t* plugin;
    uint32_t code;
    const char* name;
    const char* access;  // the start of it: the address read or written varies
    const char* module;  // where the fault lies; empty: in no module
    bool serverThread;
    // How far the walked stack reaches: to a frame in the plug-in, and on to
    // the server's frames that called it. An x86 walk follows the chain of
    // frame pointers, which skips the functions built without one and ends
    // where such a function used the register for something else.
    bool walkReachesPlugin;
    bool walkReachesServer;
};

TEST(DumpReader, ACrashDumpNamesTheFaultItsModuleAndItsThread) {
    const CrashCase cases[] = {
        {Kit::Own, L"crash_entry.dll", 0xC0000005, "access violation", "writing 0x0", "crash_entry.dll", true, true, true},
        {Kit::Own, L"crash_dispatch.dll", 0xC0000005, "access violation", "writing 0x0", "crash_dispatch.dll", true, true, true},
        {Kit::Own, L"crash_thread.dll", 0xC0000005, "access violation", "writing 0x0", "crash_thread.dll", false, true, false},  // the plug-in's own thread
        {Kit::Own, L"late_fault_unpinned.dll", 0xC0000005, "access violation", "executing 0x", "", false, false, false},  // woke in unloaded code
        {Kit::Own, L"overflow_entry.dll", 0xC00000FD, "stack overflow", "", "overflow_entry.dll", true, true, false},
        {Kit::Own, L"overflow_thread.dll", 0xC00000FD, "stack overflow", "", "overflow_thread.dll", false, true, false},
        // Raised through the system, so the fault lies in its code.
        {Kit::Own, L"foreign_throw_entry.dll", 0xE06D7363, "C++ exception (Microsoft runtime)", "", "kernelbase.dll", true, true, true},
        {Kit::Own, L"gcc_throw_entry.dll", 0x20474343, "C++ exception (GCC runtime)", "", "kernelbase.dll", true, true, true},
        // The same plug-ins built for x86, in the x86 server. The first
        // frames of a fault in a plug-in's function that keeps no frame: the
        // function, then its caller from the top of the stack.
        {Kit::X86, L"crash_entry.dll", 0xC0000005, "access violation", "writing 0x0", "crash_entry.dll", true, true, true},
        {Kit::X86, L"crash_dispatch.dll", 0xC0000005, "access violation", "writing 0x0", "crash_dispatch.dll", true, true, false},
        {Kit::X86, L"crash_thread.dll", 0xC0000005, "access violation", "writing 0x0", "crash_thread.dll", false, true, false},
        {Kit::X86, L"late_fault_unpinned.dll", 0xC0000005, "access violation", "executing 0x", "", false, false, false},
        {Kit::X86, L"overflow_entry.dll", 0xC00000FD, "stack overflow", "", "overflow_entry.dll", true, true, false},
        {Kit::X86, L"overflow_thread.dll", 0xC00000FD, "stack overflow", "", "overflow_thread.dll", false, true, false},
        {Kit::X86, L"foreign_throw_entry.dll", 0xE06D7363, "C++ exception (Microsoft runtime)", "", "kernelbase.dll", true, true, true},
        // GCC's x86 runtime unwinds by its own tables and aborts when no
        // frame catches a throw; the server raises the abort as a crash,
        // through its own handler and the C runtime.
        {Kit::X86, L"gcc_throw_entry.dll", 0xE0414254, "abort() called", "", "kernelbase.dll", true, true, true},
    };
    for (const CrashCase& c : cases) {
        SCOPED_TRACE(host::ToUtf8(c.plugin) + (c.kit == Kit::X86 ? " (x86)" : ""));
        host::DumpContents dump;
        uint32_t mainThread = 0;
        CrashAndRead(c.plugin, c.kit, std::wstring(c.plugin) == L"late_fault_unpinned.dll", &dump, &mainThread);
        if (testing::Test::HasFatalFailure())
            return;
        EXPECT_EQ(dump.x86, c.kit == Kit::X86);
        host::Fault fault;
        ASSERT_TRUE(host::DescribeCrash(dump, mainThread, &fault));
        EXPECT_EQ(fault.kind, "crash");
        EXPECT_EQ(fault.code, c.code);
        EXPECT_EQ(fault.name, c.name);
        EXPECT_EQ(fault.access.rfind(c.access, 0), 0u) << fault.access;
        EXPECT_EQ(fault.module, c.module) << fault.text;
        EXPECT_EQ(fault.serverThread, c.serverThread) << fault.text;
        if (*c.module)
            EXPECT_GT(fault.offset, 0u);
        else
            EXPECT_NE(fault.text.find("in no module"), std::string::npos) << fault.text;
        // The stack walked from the fault (with the modules' unwind data on
        // x64, by the frame-pointer chain on x86) starts where the fault is,
        // and reaches the plug-in through the system's frames rather than by
        // guessing from the stack's contents.
        std::string stack;
        for (const std::string& frame : fault.stack)
            stack += frame + " | ";
        if (*c.module) {
            ASSERT_FALSE(fault.stack.empty()) << fault.text;
            EXPECT_EQ(fault.stack.front().rfind(std::string(c.module) + "+0x", 0), 0u) << stack;
        }
        std::string plugin = host::ToUtf8(c.plugin) + "+0x";
        size_t pluginAt = stack.find(plugin);
        if (c.walkReachesPlugin) {
            EXPECT_NE(pluginAt, std::string::npos) << stack;
        }
        // The server's frames after the plug-in's: its call of the plug-in.
        const char* server = c.kit == Kit::X86 ? "| ScanServer32.exe+0x" : "| ScanServer.exe+0x";
        if (c.walkReachesServer) {
            EXPECT_NE(stack.find(server, pluginAt == std::string::npos ? stack.size() : pluginAt),
                      std::string::npos) << stack;
        }
        EXPECT_LE(fault.stack.size(), 32u);
        if (std::string(c.module) == "kernelbase.dll") {
            // The plug-in the walk met is named, not one a scan guessed.
            bool thrown = c.code == 0xE06D7363 || c.code == 0x20474343;
            EXPECT_NE(fault.text.find(thrown ? std::string(c.name) + " thrown from " + plugin : ", called from " + plugin),
                      std::string::npos) << fault.text;
            EXPECT_EQ(fault.text.find("by a scan of the stack"), std::string::npos) << fault.text;
        }
    }
}

TEST(DumpReader, AHangDumpNamesTheCallTheServerWaitsIn) {
    for (Kit kit : {Kit::Own, Kit::X86}) {
        SCOPED_TRACE(kit == Kit::X86 ? "x86" : "x64");
        TempFolder folder;
        ScanSession session(folder.path(), kit);
        ASSERT_TRUE(session.started());
        ASSERT_TRUE(session.process().WriteLine(PluginRequest(L"hang_entry.dll", "", kit)));
        // Until the plug-in sleeps in its entry point.
        std::string line;
        while (session.process().ReadLine(&line) && line != "info:Calling entry point...\n") {
        }
        Sleep(200);
        std::wstring path;
        std::string error;
        ULONGLONG started = GetTickCount64();
        ASSERT_TRUE(host::WriteHangDump(session.process().process(), session.process().processId(),
                                        folder.path(), &path, &error))
            << error;
        // Quick enough to take at every time-out: seconds before the server
        // was known to DbgHelp without its symbols.
        EXPECT_LT(GetTickCount64() - started, 2000u);
        EXPECT_NE(path.find(L"-hang.mdmp"), std::wstring::npos);
        EXPECT_NE(path.find(kit == Kit::X86 ? L"\\ScanServer-x86-" : L"\\ScanServer-x64-"), std::wstring::npos);
        host::DumpContents dump;
        ASSERT_TRUE(host::ReadDump(path, &dump, &error)) << error;
        EXPECT_EQ(dump.x86, kit == Kit::X86);
        EXPECT_FALSE(dump.hasException);
        host::Fault fault;
        ASSERT_TRUE(host::DescribeHang(dump, session.process().mainThreadId(), &fault));
        EXPECT_EQ(fault.kind, "hang");
        std::string stack;
        for (const std::string& frame : fault.stack)
            stack += frame + " | ";
        // Sleep runs in the system; the plug-in called it.
        EXPECT_EQ(fault.text.rfind("waiting in the system", 0), 0u) << fault.text;
        EXPECT_NE(fault.text.find("called from hang_entry.dll+0x"), std::string::npos) << fault.text;
        // Found by walking the stack through the system's frames, rather
        // than by a scan.
        EXPECT_EQ(fault.text.find("by a scan of the stack"), std::string::npos) << fault.text;
        ASSERT_GE(fault.stack.size(), 3u) << stack;
        EXPECT_EQ(fault.stack[0].rfind("ntdll.dll+0x", 0), 0u) << stack;
        EXPECT_NE(fault.text.find("(ntdll.dll!NtDelayExecution+0x"), std::string::npos) << fault.text;
        if (kit == Kit::Own) {
            // Named by the exports whose functions the unwind data bounds.
            EXPECT_NE(fault.stack[1].find("(kernelbase.dll!Sleep+0x"), std::string::npos) << fault.stack[1];
            EXPECT_EQ(fault.stack[2].rfind("hang_entry.dll+0x", 0), 0u) << fault.stack[2];
        } else {
            // The system call stub sets up no frame: its caller, from the
            // top of the stack, comes next, in the system's code, and is
            // not named after whatever export lies below it.
            EXPECT_EQ(fault.stack[1].rfind("kernelbase.dll+0x", 0), 0u) << stack;
            EXPECT_EQ(stack.find('!', stack.find(" | ")), std::string::npos) << stack;

            // The frame after them returns into the plug-in. With its return
            // slot made to hold the plug-in's entry point, code no call
            // returns to, the walk stops there rather than take it for a
            // frame, and the scan's guess says why.
            host::PeFile pe = host::ReadPe(PluginPath(L"hang_entry.dll", kit), host::kPeExports);
            uint64_t base = 0, entry = 0;
            for (const host::DumpModule& module : dump.modules)
                if (host::FileNameOf(module.path) == "hang_entry.dll")
                    base = module.base;
            for (const host::PeExport& exported : pe.exports)
                if (exported.name == "VSTPluginMain")
                    entry = exported.rva;
            ASSERT_TRUE(base && entry);
            host::DumpContents damaged = dump;
            for (host::DumpThread& thread : damaged.threads) {
                uint64_t slot = thread.registers.gpr[5] + 4 - thread.stackStart;
                if (thread.id != session.process().mainThreadId())
                    continue;
                ASSERT_LE(slot + 4, thread.stack.size());
                uint32_t address = static_cast<uint32_t>(base + entry);
                memcpy(&thread.stack[slot], &address, 4);
            }
            host::Fault stopped;
            ASSERT_TRUE(host::DescribeHang(damaged, session.process().mainThreadId(), &stopped));
            EXPECT_EQ(stopped.stack.size(), 2u) << stopped.text;
            char why[128];
            snprintf(why, sizeof why, "returns to 0x%llX, which no call in a module's code returns to)",
                     static_cast<unsigned long long>(base + entry));
            EXPECT_NE(stopped.text.find("called from hang_entry.dll+0x"), std::string::npos) << stopped.text;
            EXPECT_NE(stopped.text.find("(by a scan of the stack: the frame at 0x"), std::string::npos) << stopped.text;
            EXPECT_NE(stopped.text.find(why), std::string::npos)
                << stopped.text;
        }

        // Without a module's file there is nothing to check a frame
        // against: the old scan of the stack names the caller, and the text
        // says so.
        for (host::DumpModule& module : dump.modules)
            if (host::FileNameOf(module.path) == "ntdll.dll")
                module.path += ".gone";
        host::Fault guessed;
        ASSERT_TRUE(host::DescribeHang(dump, session.process().mainThreadId(), &guessed));
        EXPECT_NE(guessed.text.find("called from hang_entry.dll+0x"), std::string::npos) << guessed.text;
        EXPECT_NE(guessed.text.find("(by a scan of the stack: the file of ntdll.dll.gone cannot be read)"),
                  std::string::npos) << guessed.text;
        EXPECT_EQ(guessed.stack.size(), 1u);
        session.process().Kill();
    }
}

// A dump built by hand: a module list, an unloaded module list and an
// exception at the given address, for what real dumps under Wine never
// hold (Wine writes no unloaded modules).
std::string HandMadeDump(uint64_t address) {
    std::string bytes(512, '\0');
    auto put32 = [&](size_t at, uint32_t value) { memcpy(&bytes[at], &value, 4); };
    auto put64 = [&](size_t at, uint64_t value) { memcpy(&bytes[at], &value, 8); };
    auto putName = [&](size_t at, const wchar_t* name) {
        uint32_t length = static_cast<uint32_t>(wcslen(name) * 2);
        put32(at, length);
        memcpy(&bytes[at + 4], name, length);
    };
    put32(0, 0x504D444D);  // "MDMP"
    put32(8, 3);           // streams
    put32(12, 32);         // directory
    // Directory: modules at 80, unloaded modules at 200, exception at 240.
    put32(32, 4), put32(36, 4 + 108), put32(40, 80);
    put32(44, 14), put32(48, 12 + 24), put32(52, 200);
    put32(56, 6), put32(60, 168), put32(64, 240);
    put32(80, 1), put64(84, 0x10000000), put32(92, 0x1000), put32(104, 420);
    put32(200, 12), put32(204, 24), put32(208, 1);
    put64(212, 0x20000000), put32(220, 0x2000), put32(232, 460);
    put32(240, 77), put32(248, 0xC000001D), put64(264, address);
    putName(420, L"C:\\P\\Here.dll");
    putName(460, L"C:\\P\\Gone.dll");
    return bytes;
}

TEST(DumpReader, AnAddressIsPlacedInALoadedModuleAnUnloadedOneOrNone) {
    struct Row {
        uint64_t address;
        const char* module;
        const char* unloaded;
        const char* text;
    };
    const Row rows[] = {
        {0x10000123, "Here.dll", "", "illegal instruction in Here.dll+0x123, on another thread"},
        {0x20000010, "", "Gone.dll",
         "illegal instruction at 0x20000010, in no loaded module: Gone.dll was there before it was unloaded, "
         "on another thread"},
        {0x30000000, "", "", "illegal instruction at 0x30000000, in no module, on another thread"},
        {0x10001000, "", "", "illegal instruction at 0x10001000, in no module, on another thread"},  // one past the end
    };
    for (const Row& row : rows) {
        host::DumpContents dump;
        std::string error;
        ASSERT_TRUE(host::ParseDump(HandMadeDump(row.address), &dump, &error)) << error;
        host::Fault fault;
        ASSERT_TRUE(host::DescribeCrash(dump, 1, &fault));
        EXPECT_EQ(fault.module, row.module);
        EXPECT_EQ(fault.unloadedModule, row.unloaded);
        EXPECT_EQ(fault.text, row.text);
    }
    // Cut short or not a dump at all: refused, never read past the end.
    std::string bytes = HandMadeDump(0);
    host::DumpContents dump;
    std::string error;
    EXPECT_FALSE(host::ParseDump(bytes.substr(0, 40), &dump, &error));
    EXPECT_FALSE(host::ParseDump("MDMX" + bytes.substr(4), &dump, &error));
    EXPECT_TRUE(host::ParseDump(bytes.substr(0, 300), &dump, &error));  // streams past the end are left out
    EXPECT_FALSE(dump.hasException);
}

}  // namespace
