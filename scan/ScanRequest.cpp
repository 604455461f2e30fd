#include "scan/ScanRequest.h"

#include "server/MessageChannel.h"

void HandleScanRequest(const wchar_t* request) {
    LogInfo(L"Scanning plugin: '%s'\n", request);
}

void HandleRejectedRequest(const wchar_t* reason) {
    LogError(L"%s\n", reason);
}
