#include "host/engine/servers/DialogWatch.h"

#include <commctrl.h>

#include <algorithm>

#include "badge/BadgeWindow.h"
#include "host/engine/util/Text.h"

namespace host {

namespace {

// DM_GETDEFID is the one question asked of a window, and only when no
// button is drawn as the default; a hung owner cannot keep the watch longer.
constexpr UINT kAskTimeoutMs = 250;

// GetWindowTextW reads the text the system keeps with another process's
// window, without sending it WM_GETTEXT: a hung plug-in cannot block it.
std::wstring WindowText(HWND window) {
    std::wstring text(256, L'\0');
    for (;;) {
        int length = GetWindowTextW(window, &text[0], static_cast<int>(text.size()));
        if (length < static_cast<int>(text.size()) - 1 || text.size() >= 64 * 1024) {
            text.resize(length > 0 ? length : 0);
            return text;
        }
        text.resize(text.size() * 4);
    }
}

bool HasClass(HWND window, const wchar_t* name) {
    wchar_t className[256];
    return GetClassNameW(window, className, 256) > 0 && lstrcmpiW(className, name) == 0;
}

// "&Yes" is shown as "Yes", its Y underlined; "&&" shows one ampersand.
std::wstring WithoutMnemonics(const std::wstring& text) {
    std::wstring shown;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == L'&' && i + 1 < text.size())
            i++;
        shown.push_back(text[i]);
    }
    return shown;
}

struct Control {
    HWND window;
    bool button;
    LONG style;
    RECT rect;
    std::wstring shown;  // as the control shows its text
};

bool ShowsText(const Control& control) {
    if (control.button)
        return true;
    switch (control.style & SS_TYPEMASK) {
    case SS_LEFT:
    case SS_CENTER:
    case SS_RIGHT:
    case SS_SIMPLE:
    case SS_LEFTNOWORDWRAP:
        return true;
    default:  // icons, bitmaps, frames: their text names a resource, if anything
        return false;
    }
}

bool IsPushButton(const Control& control) {
    if (!control.button)
        return false;
    switch (control.style & BS_TYPEMASK) {
    case BS_PUSHBUTTON:
    case BS_DEFPUSHBUTTON:
    case BS_OWNERDRAW:
    case BS_SPLITBUTTON:
    case BS_DEFSPLITBUTTON:
    case BS_COMMANDLINK:
    case BS_DEFCOMMANDLINK:
        return true;
    default:
        return false;
    }
}

bool IsDrawnAsDefault(const Control& control) {
    LONG type = control.style & BS_TYPEMASK;
    return control.button &&
           (type == BS_DEFPUSHBUTTON || type == BS_DEFSPLITBUTTON || type == BS_DEFCOMMANDLINK);
}

BOOL CALLBACK AddControl(HWND child, LPARAM to) {
    if (!IsWindowVisible(child))
        return TRUE;
    bool button = HasClass(child, L"Button");
    if (!button && !HasClass(child, L"Static"))
        return TRUE;
    Control control = {child, button, GetWindowLongW(child, GWL_STYLE), {}, {}};
    if (!ShowsText(control))
        return TRUE;
    GetWindowRect(child, &control.rect);
    std::wstring text = WindowText(child);
    control.shown = !button && (control.style & SS_NOPREFIX) ? text : WithoutMnemonics(text);
    reinterpret_cast<std::vector<Control>*>(to)->push_back(std::move(control));
    return TRUE;
}

// The visible static texts and buttons inside window, top to bottom and,
// on one line, left to right: the message first, then the buttons.
std::vector<Control> ControlsOf(HWND window) {
    std::vector<Control> controls;
    EnumChildWindows(window, AddControl, reinterpret_cast<LPARAM>(&controls));
    std::stable_sort(controls.begin(), controls.end(), [](const Control& a, const Control& b) {
        return a.rect.top != b.rect.top ? a.rect.top < b.rect.top : a.rect.left < b.rect.left;
    });
    return controls;
}

// The button that Enter would press. At rest the dialog manager draws that
// one as the default, the focused push button or else the dialog's
// default id, so the style is asked first. Message boxes under Wine 8
// answer DM_GETDEFID with IDOK whatever their buttons are (seen with
// MB_YESNO, and with MB_OKCANCEL | MB_DEFBUTTON2), but draw their default
// button as such.
const Control* DefaultButton(HWND window, const std::vector<Control>& controls) {
    std::vector<const Control*> usable;
    for (const Control& control : controls)
        if (IsPushButton(control) && IsWindowEnabled(control.window))
            usable.push_back(&control);
    if (usable.empty())
        return nullptr;
    for (const Control* control : usable)
        if (IsDrawnAsDefault(*control))
            return control;
    DWORD_PTR answer = 0;
    if (HasClass(window, L"#32770") &&
        SendMessageTimeoutW(window, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT,
                            kAskTimeoutMs, &answer) &&
        HIWORD(answer) == DC_HASDEFID) {
        for (const Control* control : usable)
            if (GetDlgCtrlID(control->window) == LOWORD(answer))
                return control;
    }
    return usable.front();
}

// Posts what answers the window, and says what that was. Posted, never
// sent: the window's thread may be hung, and the watch must not hang with it.
std::string AnswerWindow(HWND window, const std::vector<Control>& controls) {
    if (const Control* button = DefaultButton(window, controls)) {
        PostMessageW(button->window, BM_CLICK, 0, 0);
        return "pressed " + ToUtf8(button->shown);
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    return "closed";
}

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK AddServerWindow(HWND window, LPARAM search) {
    auto* into = reinterpret_cast<WindowSearch*>(search);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == into->processId && IsWindowVisible(window) &&
        !HasClass(window, kBadgeClassName))
        into->found.push_back(window);
    return TRUE;
}

std::vector<HWND> VisibleWindowsOf(DWORD processId) {
    WindowSearch search = {processId, {}};
    EnumWindows(AddServerWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

DialogWatch::DialogWatch(DWORD serverProcessId, DialogPolicy policy)
    : processId_(serverProcessId), policy_(policy) {}

bool DialogWatch::Look() {
    uint64_t now = GetTickCount64();
    // Window handles are reused once their window is gone.
    known_.erase(std::remove_if(known_.begin(), known_.end(),
                                [](const Known& known) { return !IsWindow(known.window); }),
                 known_.end());
    for (HWND window : VisibleWindowsOf(processId_)) {
        auto known = std::find_if(known_.begin(), known_.end(),
                                  [window](const Known& k) { return k.window == window; });
        if (known == known_.end()) {
            Take(window, now);
        } else if (policy_ == DialogPolicy::Answer && now - known->answeredAt >= kRetryMs) {
            AnswerWindow(window, ControlsOf(window));
            known->answeredAt = now;
        }
    }
    return failure_.empty();
}

void DialogWatch::Take(HWND window, uint64_t now) {
    Dialog dialog;
    dialog.title = ToUtf8(WindowText(window));
    std::vector<Control> controls = ControlsOf(window);
    for (const Control& control : controls)
        if (!control.shown.empty())
            dialog.texts.push_back(ToUtf8(control.shown));
    // Gone while it was read: what was read may be half of it, and there is
    // nothing left to answer.
    if (!IsWindow(window))
        return;
    switch (policy_) {
    case DialogPolicy::Answer:
        dialog.answer = AnswerWindow(window, controls);
        break;
    case DialogPolicy::Wait:
        dialog.answer = "left open";
        break;
    case DialogPolicy::Fail:
        dialog.answer = "failed the scan";
        if (failure_.empty()) {
            const std::string& name = dialog.title.empty() && !dialog.texts.empty()
                                          ? dialog.texts.front()
                                          : dialog.title;
            failure_ = "opened a window: \"" + name + "\"";
        }
        break;
    }
    known_.push_back({window, now});
    dialogs_.push_back(std::move(dialog));
}

}  // namespace host
