#include "scan/HostIdentity.h"
#include "scan/ModuleScan.h"
#include "scan/ScanReport.h"
#include "scan/clap/ClapScan.h"

namespace {

// Longer extension ids are cut in the log line, never read further.
constexpr size_t kMaxIdBytes = 256;

const void* GetExtension(const ClapHost*, const char* extensionId) {
    bool notUtf8 = false;
    CStringW id = JsonEscape(PluginText(extensionId, kMaxIdBytes, &notUtf8));
    LogInfo(L"Host call: get_extension('%s') - NULL\n", id);
    return nullptr;
}

void RequestRestart(const ClapHost*) {
    LogInfo(L"Host call: request_restart\n");
}

void RequestProcess(const ClapHost*) {
    LogInfo(L"Host call: request_process\n");
}

void RequestCallback(const ClapHost*) {
    LogInfo(L"Host call: request_callback\n");
}

const ClapHost kHost = {
    kServerClapVersion,
    nullptr,
    kHostProductNameBytes,
    kHostVendorNameBytes,
    "",
    kHostVersionBytes,
    GetExtension,
    RequestRestart,
    RequestProcess,
    RequestCallback,
};

}  // namespace

const ClapHost* ServerClapHost() {
    return &kHost;
}
