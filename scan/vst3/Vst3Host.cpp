#include "scan/vst3/Vst3Host.h"

#include <windows.h>

#include <cstring>

#include "scan/HostIdentity.h"
#include "scan/vst3/Vst3.h"
#include "server/MessageChannel.h"

using Simple::CStringW;

namespace {

struct HostApplication {
    const Vst3HostApplicationTable* table;
};

volatile LONG references = 1;

bool SameId(const uint8_t* id, const Vst3Uid& known) {
    return memcmp(id, known.bytes, sizeof(known.bytes)) == 0;
}

Vst3Result VST3CALL QueryInterface(void* self, const uint8_t* iid, void** object) {
    if (!iid) {
        LogInfo(L"Host context call: queryInterface(null) - kInvalidArgument\n");
        if (object)
            *object = nullptr;
        return kVst3InvalidArgument;
    }
    CStringW text = Vst3IdText(iid);
    bool known = SameId(iid, kIidFUnknown) || SameId(iid, kIidHostApplication);
    LogInfo(L"Host context call: queryInterface(%s) - %s\n", text, known ? L"kResultOk" : L"kNoInterface");
    if (!object)
        return kVst3InvalidArgument;
    if (!known) {
        *object = nullptr;
        return kVst3NoInterface;
    }
    InterlockedIncrement(&references);
    *object = self;
    return kVst3ResultOk;
}

uint32_t VST3CALL AddRef(void*) {
    LogInfo(L"Host context call: addRef\n");
    return static_cast<uint32_t>(InterlockedIncrement(&references));
}

// The object is never freed: a count that reaches zero only means the
// plug-in released more than it took.
uint32_t VST3CALL Release(void*) {
    LogInfo(L"Host context call: release\n");
    LONG left = InterlockedDecrement(&references);
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

Vst3Result VST3CALL GetName(void*, wchar_t* name) {
    LogInfo(L"Host context call: getName\n");
    if (!name)
        return kVst3InvalidArgument;
    // String128: the name and its NUL fit in 128 units.
    const wchar_t* text = kHostProductName;
    size_t n = 0;
    for (; n < 127 && text[n]; n++)
        name[n] = text[n];
    name[n] = 0;
    return kVst3ResultOk;
}

Vst3Result VST3CALL CreateInstance(void*, const uint8_t* cid, const uint8_t* iid, void** object) {
    CStringW cidText = cid ? Vst3IdText(cid) : CStringW(L"null");
    CStringW iidText = iid ? Vst3IdText(iid) : CStringW(L"null");
    LogInfo(L"Host context call: createInstance(%s, %s) - kNoInterface\n", cidText, iidText);
    if (object)
        *object = nullptr;
    return kVst3NoInterface;
}

const Vst3HostApplicationTable kTable = {
    {QueryInterface, AddRef, Release},
    GetName,
    CreateInstance,
};

HostApplication hostApplication = {&kTable};

}  // namespace

void* Vst3HostContext() {
    return &hostApplication;
}

CStringW Vst3IdText(const uint8_t* id) {
    uint32_t first = static_cast<uint32_t>(id[0]) | static_cast<uint32_t>(id[1]) << 8 |
                     static_cast<uint32_t>(id[2]) << 16 | static_cast<uint32_t>(id[3]) << 24;
    unsigned second = static_cast<unsigned>(id[4]) | static_cast<unsigned>(id[5]) << 8;
    unsigned third = static_cast<unsigned>(id[6]) | static_cast<unsigned>(id[7]) << 8;
    return Simple::FormatString(L"%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X", first, second, third, id[8],
                                id[9], id[10], id[11], id[12], id[13], id[14], id[15]);
}
