#pragma once

#include <windows.h>

// The badge: a layered, topmost tool window showing the badge picture with
// per-pixel alpha, 10 pixels in from the bottom-right corner of the work
// area of the monitor that holds the host window.

constexpr wchar_t kBadgeClassName[] = L"OrvaneScanServer";
constexpr wchar_t kBadgeTitle[] = L"Orvane Scan Server";

// Records serverState.hostWindow (the foreground window when hostWindow is
// null), badgeBitmap and badgeWindow, and shows the badge. Without a picture
// in instance's resources no window is made and badgeWindow stays null.
// GDI+ must be started.
void CreateBadgeWindow(HINSTANCE instance, HWND hostWindow);

// Answers every hit test as the caption, so a drag from anywhere on the
// badge moves it; everything else goes to DefWindowProcW.
LRESULT CALLBACK BadgeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
