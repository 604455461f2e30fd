#pragma once

// The processor architecture the server is built for, as it names it in its
// banner, its crash dumps' names and its reports. The same sources build the
// x64 server and the x86 one, for 32-bit plug-ins.
//
// SERVER_FILE_NAME is the file the build makes of it (server/CMakeLists.txt):
// the two live side by side.
#if defined(__x86_64__)
#define SERVER_ARCHITECTURE L"x64"
#define SERVER_ARCHITECTURE_TEXT "x64"
#define SERVER_FILE_NAME L"ScanServer.exe"
#elif defined(__i386__)
#define SERVER_ARCHITECTURE L"x86"
#define SERVER_ARCHITECTURE_TEXT "x86"
#define SERVER_FILE_NAME L"ScanServer32.exe"
#else
#error "the server is built for x64 or x86"
#endif
