#include <windows.h>

#include "server/Startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunServer(instance);
}
