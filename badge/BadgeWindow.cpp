#include "badge/BadgeWindow.h"

#include "server/ServerState.h"

void CreateBadgeWindow(HINSTANCE instance, HWND hostWindow) {
    serverState.hostWindow = hostWindow ? hostWindow : GetForegroundWindow();
}
