#include "server/Startup.h"

#include <gdiplus.h>

#include "badge/BadgeWindow.h"
#include "scan/ScanRequest.h"
#include "server/CommandLine.h"
#include "server/CrashDump.h"
#include "server/MessageChannel.h"
#include "server/RequestLoop.h"
#include "server/ServerState.h"

int RunServer(HINSTANCE instance) {
    InitializeCriticalSection(&serverState.dumpLock);
    serverState.dumpPrefix = L"ScanServer";
    serverState.dumpPrefix.Append(L"-x64");
    InstallCrashDumpFilter();

    ServerArguments arguments;
    // A command line that cannot be split leaves the pipes unknown: there
    // is nobody to serve, and the window mode would never end.
    if (!ReadServerArguments(GetCommandLineW(), &arguments))
        return 0;
    serverState.dumpFolder = arguments.dumpFolder;
    PrepareCrashDumpPath();

    Gdiplus::GdiplusStartupInput gdiplusInput;
    Gdiplus::GdiplusStartup(&serverState.gdiplusToken, &gdiplusInput, nullptr);

    serverState.inputPipe = reinterpret_cast<HANDLE>(arguments.inputPipe);
    serverState.outputPipe = reinterpret_cast<HANDLE>(arguments.outputPipe);
    if (!serverState.outputPipe)
        serverState.outputPipe = GetStdHandle(STD_OUTPUT_HANDLE);

    CreateBadgeWindow(instance, reinterpret_cast<HWND>(arguments.hostWindow));
    LogInfo(L"Orvane Plugin Scan Server (x64)\n");

    if (serverState.inputPipe)
        RunRequestLoop();
    else
        RunWindowLoop();

    FreeCachedLibrary();
    if (serverState.badgeWindow)
        DestroyWindow(serverState.badgeWindow);
    serverState.badgeWindow = nullptr;
    Gdiplus::GdiplusShutdown(serverState.gdiplusToken);
    return 0;
}
