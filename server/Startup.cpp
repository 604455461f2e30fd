#include "server/Startup.h"

#include <gdiplus.h>

#include <cstdlib>

#include "badge/BadgeWindow.h"
#include "scan/ScanRequest.h"
#include "server/AbortSignal.h"
#include "server/Architecture.h"
#include "server/CommandLine.h"
#include "server/CrashDump.h"
#include "server/CrashGate.h"
#include "server/DumpWriter.h"
#include "server/FilterStack.h"
#include "server/MessageChannel.h"
#include "server/NestedFault.h"
#include "server/RequestLoop.h"
#include "server/ServerState.h"

namespace {

// A child process that a plug-in starts with handle inheritance would get
// the pipes too and hold them open after the server has gone, and the host
// learns of the server's end only from the pipes breaking. The handle values
// stay the ones the host passed.
void KeepPipesFromChildren() {
    if (serverState.inputPipe)
        SetHandleInformation(serverState.inputPipe, HANDLE_FLAG_INHERIT, 0);
    if (serverState.outputPipe)
        SetHandleInformation(serverState.outputPipe, HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

int RunServer(HINSTANCE instance) {
    ReserveFilterStack(kFilterStackBytes);
    serverState.dumpPrefix = L"ScanServer";
    serverState.dumpPrefix.Append(L"-" SERVER_ARCHITECTURE);
    InstallCrashDumpFilter();
    WatchForNestedFaults();
    TreatAbortAsCrash();
    // The orderly end passes here on its way out of the process, and so does
    // a plug-in that calls exit(): msvcrt's exit runs one table for every
    // module. Neither may end the process with 0 while a dump is written.
    atexit(StopIfCrashing);

    ServerArguments arguments;
    // A command line that cannot be split leaves the pipes unknown: there
    // is nobody to serve, and the window mode would never end.
    if (!ReadServerArguments(GetCommandLineW(), &arguments))
        return 0;
    serverState.dumpFolder = arguments.dumpFolder;
    bool dumps = PrepareCrashDumpPath() && serverState.dumpFolder.GetLength() > 0;

    Gdiplus::GdiplusStartupInput gdiplusInput;
    Gdiplus::GdiplusStartup(&serverState.gdiplusToken, &gdiplusInput, nullptr);

    serverState.inputPipe = reinterpret_cast<HANDLE>(arguments.inputPipe);
    serverState.outputPipe = reinterpret_cast<HANDLE>(arguments.outputPipe);
    if (!serverState.outputPipe)
        serverState.outputPipe = GetStdHandle(STD_OUTPUT_HANDLE);
    KeepPipesFromChildren();

    CreateBadgeWindow(instance, reinterpret_cast<HWND>(arguments.hostWindow));
    LogInfo(L"Orvane Plugin Scan Server (" SERVER_ARCHITECTURE L")\n");
    // Started only now: under Wine 8, a second thread alive while the badge
    // window is created makes the server some 45 ms slower to its first
    // prompt. A fault in the start-up before this point leaves no dump.
    if (dumps)
        StartDumpWriter();

    if (serverState.inputPipe)
        RunRequestLoop();
    else
        RunWindowLoop();

    // The host may close the input while a plug-in thread's fault is being
    // written: the crash ends the process, not this.
    StopIfCrashing();
    FreeCachedLibrary();
    if (serverState.badgeWindow)
        DestroyWindow(serverState.badgeWindow);
    serverState.badgeWindow = nullptr;
    Gdiplus::GdiplusShutdown(serverState.gdiplusToken);
    return 0;
}
