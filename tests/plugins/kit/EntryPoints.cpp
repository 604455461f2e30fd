// Every entry point a plug-in of the kit may export. All of them are in
// every DLL of the kit; the DLL's .def file (exports/) decides which ones
// are visible to GetProcAddress.

#include "tests/plugins/kit/TestPlugin.h"

extern "C" AEffect* VSTCALL VSTPluginMain(HostCallbackFn host) {
    return kit::ThePlugin().Enter(host, "VSTPluginMain");
}

// Exported under the name "main" by the .def files: a C++ function of that
// name would be taken for the program's own main.
extern "C" AEffect* VSTCALL PluginMainEntry(HostCallbackFn host) {
    return kit::ThePlugin().Enter(host, "main");
}

// A jBridge bootstrap is recognised by this export alone; nothing calls it.
extern "C" void JBridgeBootstrap() {}
