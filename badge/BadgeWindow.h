#pragma once

#include <windows.h>

// Shows the always-on-top scanning badge in the bottom-right corner of the
// work area of the monitor that holds hostWindow (the foreground window
// when null). Records serverState.hostWindow, badgeBitmap and badgeWindow.
void CreateBadgeWindow(HINSTANCE instance, HWND hostWindow);
