#include "badge/BadgeWindow.h"

#include <gdiplus.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "badge/BadgeImage.h"
#include "host/engine/servers/ServerProcess.h"
#include "server/Architecture.h"
#include "server/ServerState.h"
#include "tests/support/GdiplusEnvironment.h"

namespace {

testing::Environment* const gdiplus = testing::AddGlobalTestEnvironment(new testing_support::GdiplusEnvironment);

constexpr COLORREF kBackdropColour = RGB(200, 160, 120);

std::wstring ClassNameOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

// The top-level windows of the badge's class that belong to a process.
std::vector<HWND> BadgeWindowsOf(DWORD processId) {
    struct Search {
        DWORD processId;
        std::vector<HWND> found;
    } search = {processId, {}};
    EnumWindows(
        [](HWND window, LPARAM data) WINAPI -> BOOL {
            auto* search = reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == search->processId && ClassNameOf(window) == kBadgeClassName)
                search->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void PumpOwnMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

RECT PrimaryWorkArea() {
    RECT work = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return work;
}

// An opaque window of a known colour in the work area's bottom-right
// corner, under the badge, so that what the badge lets through is known.
class Backdrop {
public:
    Backdrop() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hbrBackground = CreateSolidBrush(kBackdropColour);
        windowClass.lpszClassName = L"BadgeTestBackdrop";
        RegisterClassW(&windowClass);
        RECT work = PrimaryWorkArea();
        window_ = CreateWindowExW(WS_EX_TOOLWINDOW, L"BadgeTestBackdrop", L"Backdrop",
                                  WS_POPUP | WS_VISIBLE, work.right - 400, work.bottom - 300, 400,
                                  300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        UpdateWindow(window_);
        PumpOwnMessages();
    }
    ~Backdrop() {
        if (window_)
            DestroyWindow(window_);
    }
    HWND window() const { return window_; }

private:
    HWND window_ = nullptr;
};

// The screen's pixels in a rectangle, as 0x00RRGGBB.
class ScreenShot {
public:
    explicit ScreenShot(const RECT& area) : area_(area) {
        int width = area.right - area.left, height = area.bottom - area.top;
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // top-down, to index by y
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ replaced = SelectObject(memory, dib);
        BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY | CAPTUREBLT);
        GdiFlush();
        pixels_.assign(static_cast<const uint32_t*>(bits),
                       static_cast<const uint32_t*>(bits) + width * height);
        SelectObject(memory, replaced);
        DeleteObject(dib);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }
    // x, y relative to the rectangle's top left.
    uint32_t at(int x, int y) const {
        return pixels_[y * (area_.right - area_.left) + x] & 0xFFFFFF;
    }

private:
    RECT area_;
    std::vector<uint32_t> pixels_;
};

// The badge's own pixels, premultiplied B G R A, top row first.
std::vector<uint32_t> BadgePicture() {
    std::vector<uint32_t> picture;
    std::wstring path = host::ExecutableFolder() + SERVER_FILE_NAME;
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    HBITMAP dib = module ? LoadBadgeBitmap(module) : nullptr;
    DIBSECTION section;
    if (dib && GetObjectW(dib, sizeof(section), &section)) {
        const BITMAP& bitmap = section.dsBm;
        for (int y = 0; y < bitmap.bmHeight; y++) {
            const uint8_t* bytes = static_cast<const uint8_t*>(bitmap.bmBits) +
                                   (bitmap.bmHeight - 1 - y) * bitmap.bmWidthBytes;
            const uint32_t* row = reinterpret_cast<const uint32_t*>(bytes);
            picture.insert(picture.end(), row, row + bitmap.bmWidth);
        }
    }
    if (dib)
        DeleteObject(dib);
    if (module)
        FreeLibrary(module);
    return picture;
}

// What a pixel of the picture over the backdrop looks like on the screen,
// which has two answers. With composition (Windows, or X with a compositing
// manager) the premultiplied pixel is blended over what lies below. Wine's
// X11 driver gives a layered window a 32-bit visual and cuts its fully
// transparent pixels out with a shape; a bare X server such as Xvfb blends
// nothing, so every other pixel shows the premultiplied colour as it is.
uint32_t Blended(uint32_t premultiplied, uint32_t below) {
    uint32_t alpha = premultiplied >> 24, result = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        uint32_t top = premultiplied >> shift & 0xFF, under = below >> shift & 0xFF;
        result |= (top + under * (255 - alpha) / 255) << shift;
    }
    return result;
}

uint32_t Shaped(uint32_t premultiplied, uint32_t below) {
    return premultiplied >> 24 ? premultiplied & 0xFFFFFF : below;
}

bool Near(uint32_t a, uint32_t b, int tolerance) {
    for (int shift = 0; shift <= 16; shift += 8)
        if (abs(int(a >> shift & 0xFF) - int(b >> shift & 0xFF)) > tolerance)
            return false;
    return true;
}

uint32_t Rgb(COLORREF colour) {
    return uint32_t(GetRValue(colour)) << 16 | uint32_t(GetGValue(colour)) << 8 | GetBValue(colour);
}

// One server, started as a host starts it, with the backdrop as the host's
// window, shared by the tests that look at its badge.
class RunningBadge : public testing::Test {
protected:
    static void SetUpTestSuite() {
        backdrop_ = new Backdrop;
        server_ = new host::ServerProcess;
        host::LaunchOptions options;
        options.serverPath = host::ExecutableFolder() + SERVER_FILE_NAME;
        options.hostWindow = reinterpret_cast<uint64_t>(backdrop_->window());
        options.lifetimeLimitMs = 120000;
        if (!server_->Start(options))
            return;
        std::vector<std::string> lines;
        if (!server_->ReadUntilPrompt(&lines))
            return;
        std::vector<HWND> badges = BadgeWindowsOf(server_->processId());
        if (badges.size() == 1)
            badge_ = badges[0];
    }

    static void TearDownTestSuite() {
        server_->CloseInput();
        server_->ReadToEnd();
        server_->WaitForExit(10000, nullptr);
        delete server_;
        delete backdrop_;
    }

    void SetUp() override { ASSERT_NE(badge_, nullptr) << "the server shows exactly one badge"; }

    static Backdrop* backdrop_;
    static host::ServerProcess* server_;
    static HWND badge_;
};

Backdrop* RunningBadge::backdrop_ = nullptr;
host::ServerProcess* RunningBadge::server_ = nullptr;
HWND RunningBadge::badge_ = nullptr;

TEST_F(RunningBadge, IsALayeredTopmostToolPopupOfTheDesktopWithItsClassAndTitle) {
    EXPECT_EQ(ClassNameOf(badge_), L"OrvaneScanServer");
    wchar_t title[256] = {};
    GetWindowTextW(badge_, title, 256);
    EXPECT_EQ(std::wstring(title), L"Orvane Scan Server");
    EXPECT_EQ(GetWindowLongPtrW(badge_, GWL_EXSTYLE), 0x00080088);  // layered, tool window, topmost
    // Popup and visible (0x90000000); the system adds WS_CLIPSIBLINGS to
    // every window that is not a child.
    EXPECT_EQ(GetWindowLongPtrW(badge_, GWL_STYLE), 0x90000000 | WS_CLIPSIBLINGS);
    EXPECT_TRUE(IsWindowVisible(badge_));
    EXPECT_EQ(GetAncestor(badge_, GA_PARENT), GetDesktopWindow());
}

TEST_F(RunningBadge, SitsTenPixelsInFromTheBottomRightOfTheHostMonitorsWorkArea) {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(backdrop_->window(), MONITOR_DEFAULTTONEAREST),
                                &monitor));
    RECT work = PrimaryWorkArea();
    ASSERT_TRUE(EqualRect(&work, &monitor.rcWork)) << "one monitor, the primary";
    RECT badge;
    GetWindowRect(badge_, &badge);
    EXPECT_EQ(badge.right, work.right - 10);
    EXPECT_EQ(badge.bottom, work.bottom - 10);
    EXPECT_EQ(badge.right - badge.left, 120);
    EXPECT_EQ(badge.bottom - badge.top, 120);
}

TEST_F(RunningBadge, StaysAboveAWindowBroughtToTheTop) {
    SetWindowPos(backdrop_->window(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    PumpOwnMessages();
    // EnumWindows goes from the top of the z-order down.
    struct Order {
        HWND badge, backdrop;
        int badgeAt, backdropAt, index;
    } order = {badge_, backdrop_->window(), -1, -1, 0};
    EnumWindows(
        [](HWND window, LPARAM data) WINAPI -> BOOL {
            auto* order = reinterpret_cast<Order*>(data);
            if (window == order->badge)
                order->badgeAt = order->index;
            if (window == order->backdrop)
                order->backdropAt = order->index;
            order->index++;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&order));
    ASSERT_GE(order.badgeAt, 0);
    ASSERT_GE(order.backdropAt, 0);
    EXPECT_LT(order.badgeAt, order.backdropAt);
}

TEST_F(RunningBadge, AnswersHitTestsAsTheCaptionOnceTheServerPumpsMessages) {
    RECT badge;
    GetWindowRect(badge_, &badge);
    const POINT points[] = {
        {badge.left + 60, badge.top + 60},    // the emblem
        {badge.left + 6, badge.top + 60},     // the body
        {badge.left, badge.top},              // a transparent corner
        {badge.right - 1, badge.bottom - 1},  // the opposite one
    };
    std::vector<LRESULT> answers;
    for (const POINT& point : points) {
        ASSERT_TRUE(SendMessageCallbackW(
            badge_, WM_NCHITTEST, 0, MAKELPARAM(point.x, point.y),
            [](HWND, UINT, ULONG_PTR data, LRESULT result) CALLBACK {
                reinterpret_cast<std::vector<LRESULT>*>(data)->push_back(result);
            },
            reinterpret_cast<ULONG_PTR>(&answers)));
    }
    // Waiting for a request, the server handles no window messages.
    for (int i = 0; i < 5; i++) {
        Sleep(50);
        PumpOwnMessages();
    }
    EXPECT_TRUE(answers.empty());

    // A request makes it pump them before the next prompt.
    ASSERT_TRUE(server_->WriteLine(""));
    std::vector<std::string> lines;
    ASSERT_TRUE(server_->ReadUntilPrompt(&lines));
    for (int i = 0; i < 100 && answers.size() < 4; i++) {
        Sleep(20);
        PumpOwnMessages();
    }
    ASSERT_EQ(answers.size(), 4u);
    for (LRESULT answer : answers)
        EXPECT_EQ(answer, HTCAPTION);
}

TEST_F(RunningBadge, ShowsThePictureOverWhatLiesBelow) {
    std::vector<uint32_t> picture = BadgePicture();
    ASSERT_EQ(picture.size(), 120u * 120u);
    RECT badge;
    GetWindowRect(badge_, &badge);
    uint32_t below = Rgb(kBackdropColour);

    // X paints the window when it gets round to it: wait for the picture.
    int blendedMisses = 0, shapedMisses = 0;
    for (int attempt = 0; attempt < 50; attempt++) {
        PumpOwnMessages();
        ScreenShot shot(badge);
        blendedMisses = shapedMisses = 0;
        for (int y = 0; y < 120; y++) {
            for (int x = 0; x < 120; x++) {
                uint32_t pixel = picture[y * 120 + x];
                if (!Near(shot.at(x, y), Blended(pixel, below), 2))
                    blendedMisses++;
                if (shot.at(x, y) != Shaped(pixel, below))
                    shapedMisses++;
            }
        }
        if (!blendedMisses || !shapedMisses)
            break;
        Sleep(100);
    }
    bool composited = blendedMisses == 0;
    RecordProperty("composition", composited ? "blended" : "shaped, not blended");
    EXPECT_TRUE(blendedMisses == 0 || shapedMisses == 0)
        << "pixels unlike a blend: " << blendedMisses << ", unlike a shaped window: " << shapedMisses;

    ScreenShot shot(badge);
    EXPECT_EQ(shot.at(0, 0), below) << "a transparent corner shows what lies below";
    EXPECT_EQ(shot.at(119, 119), below);
    // The body is black at alpha 179: 76/255 of what lies below when
    // blended, black itself when not.
    uint32_t body = shot.at(6, 60);
    EXPECT_TRUE(Near(body, composited ? Blended(0xB3000000, below) : 0, 2))
        << std::hex << "body 0x" << body;
    EXPECT_NE(body, below);
    // An opaque white pixel of the caption.
    int captionAt = -1;
    for (int i = 100 * 120; i < 120 * 120 && captionAt < 0; i++)
        if (picture[i] == 0xFFFFFFFF)
            captionAt = i;
    ASSERT_GE(captionAt, 0);
    EXPECT_TRUE(Near(shot.at(captionAt % 120, captionAt / 120), 0xFFFFFF, 4));
}

TEST(BadgeAtShutDown, IsDestroyedWhenTheHostClosesTheInputAndTheServerEndsWithZero) {
    host::ServerProcess server;
    host::LaunchOptions options;
    options.serverPath = host::ExecutableFolder() + SERVER_FILE_NAME;
    options.lifetimeLimitMs = 60000;
    ASSERT_TRUE(server.Start(options));
    std::vector<std::string> lines;
    ASSERT_TRUE(server.ReadUntilPrompt(&lines));
    std::vector<HWND> badges = BadgeWindowsOf(server.processId());
    ASSERT_EQ(badges.size(), 1u);
    EXPECT_TRUE(IsWindow(badges[0]));

    server.CloseInput();
    server.ReadToEnd();
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(IsWindow(badges[0]));
    EXPECT_TRUE(BadgeWindowsOf(server.processId()).empty());
}

// In this process, whose module has no picture, as a server built without
// one would run: it records the host and goes on without a badge.
class BadgeWithoutPicture : public testing::Test {
protected:
    void SetUp() override {
        serverState.hostWindow = nullptr;
        serverState.badgeBitmap = nullptr;
        serverState.badgeWindow = nullptr;
    }
};

TEST_F(BadgeWithoutPicture, MakesNoWindowAndRecordsTheGivenHost) {
    Backdrop host;
    CreateBadgeWindow(GetModuleHandleW(nullptr), host.window());
    EXPECT_EQ(serverState.hostWindow, host.window());
    EXPECT_EQ(serverState.badgeBitmap, nullptr);
    EXPECT_EQ(serverState.badgeWindow, nullptr);
    EXPECT_TRUE(BadgeWindowsOf(GetCurrentProcessId()).empty());
}

TEST_F(BadgeWithoutPicture, TakesTheForegroundWindowAsHostWhenNoneIsGiven) {
    Backdrop foreground;
    SetForegroundWindow(foreground.window());
    PumpOwnMessages();
    ASSERT_EQ(GetForegroundWindow(), foreground.window());
    CreateBadgeWindow(GetModuleHandleW(nullptr), nullptr);
    EXPECT_EQ(serverState.hostWindow, foreground.window());
    EXPECT_EQ(serverState.badgeWindow, nullptr);
}

}  // namespace
