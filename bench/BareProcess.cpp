// The baseline for the start-up benchmark: a GUI-subsystem program, like
// the server, that ends as soon as it starts.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    return 0;
}
