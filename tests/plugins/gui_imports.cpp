// The plain plug-in under the name "GUI Imports", importing the system DLLs
// a plug-in with an OpenGL editor imports: OPENGL32, dwmapi, comdlg32,
// SHELL32, USER32, GDI32, ole32 and WINMM. Loading it brings those DLLs
// (and theirs) into the process; it calls none of them.

#include <windows.h>
#include <commdlg.h>
#include <dwmapi.h>
#include <GL/gl.h>
#include <mmsystem.h>
#include <objbase.h>
#include <shellapi.h>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

// Taking each function's address is what makes the linker import it; the
// loader then loads its DLL with the plug-in.
const void* const volatile kImports[] = {
    reinterpret_cast<const void*>(&glGetError),
    reinterpret_cast<const void*>(&DwmIsCompositionEnabled),
    reinterpret_cast<const void*>(&CommDlgExtendedError),
    reinterpret_cast<const void*>(&DragAcceptFiles),
    reinterpret_cast<const void*>(&GetDesktopWindow),
    reinterpret_cast<const void*>(&GetStockObject),
    reinterpret_cast<const void*>(&CoTaskMemFree),
    reinterpret_cast<const void*>(&timeGetTime),
};

class GuiImportsPlugin : public kit::TestPlugin {
public:
    GuiImportsPlugin() : TestPlugin({.name = "GUI Imports"}) {}

private:
    void OnEntry(const char*) override {
        for (const void* function : kImports)
            if (!function)
                current.name = "GUI Imports unresolved";
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static GuiImportsPlugin plugin;
    return plugin;
}
