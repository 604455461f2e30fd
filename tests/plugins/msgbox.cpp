// Shows a message box in its entry point, owned by no window, as plug-ins
// show their licence and demo nags, and reports which button closed it as
// its name: "<title> answered <BUTTON>". MSGBOX names the box, one of those
// below; the CMake file builds one DLL per box.

#include <windows.h>

#include <cstdio>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

struct Box {
    const char* title;  // as the name shows it
    const wchar_t* wideTitle;
    const wchar_t* text;
    UINT type;
};

constexpr Box kDemo = {"Demo Version", L"Demo Version", L"This is a demo version.", MB_OK};
constexpr Box kLicence = {"Licence", L"Licence", L"Register now?", MB_YESNO | MB_ICONQUESTION};
constexpr Box kError = {"Error", L"Error", L"Disk not ready.", MB_ABORTRETRYIGNORE};
constexpr Box kUnsaved = {"Unsaved", L"Unsaved", L"Discard the changes?",
                          MB_OKCANCEL | MB_DEFBUTTON2};

// 0 is MessageBoxW's failure.
const char* ButtonWord(int pressed) {
    switch (pressed) {
    case IDOK: return "OK";
    case IDCANCEL: return "CANCEL";
    case IDABORT: return "ABORT";
    case IDRETRY: return "RETRY";
    case IDIGNORE: return "IGNORE";
    case IDYES: return "YES";
    case IDNO: return "NO";
    default: return "NOTHING";
    }
}

class MessageBoxPlugin : public kit::TestPlugin {
public:
    MessageBoxPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        const Box& box = MSGBOX;
        int pressed = MessageBoxW(nullptr, box.text, box.wideTitle, box.type);
        snprintf(name_, sizeof name_, "%s answered %s", box.title, ButtonWord(pressed));
        current.name = name_;
    }

    char name_[64] = {};
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static MessageBoxPlugin plugin;
    return plugin;
}
