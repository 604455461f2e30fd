#pragma once

// Our own declarations of the VST3 module ABI on Windows x64 and x86,
// written from its documented interfaces and layouts: only what the server
// (and the test kit's fakes) use.
//
// Interfaces are COM-style: an object's first member points at its table of
// functions, the three of FUnknown first, then each interface's own in
// declaration order, a derived interface's after its base's. Every method
// takes the object as its first argument and is __stdcall (on x86 the callee
// pops the arguments; x64 has one convention and ignores it).

#include <cstddef>
#include <cstdint>

#define VST3CALL __stdcall

using Vst3Result = int32_t;  // tresult

constexpr Vst3Result kVst3ResultOk = 0;
constexpr Vst3Result kVst3ResultFalse = 1;
// On Windows the failures are the COM HRESULTs.
constexpr Vst3Result kVst3NoInterface = static_cast<Vst3Result>(0x80004002);
constexpr Vst3Result kVst3NotImplemented = static_cast<Vst3Result>(0x80004001);
constexpr Vst3Result kVst3InvalidArgument = static_cast<Vst3Result>(0x80070057);

static_assert(sizeof(wchar_t) == 2, "VST3's char16 is a UTF-16 code unit");

// A class or interface id: 16 bytes. An id is written as four 32-bit
// numbers; on Windows its bytes are laid out as a COM GUID: the first number
// little-endian, the second as two 16-bit halves (high half first), each
// little-endian, then the last two numbers big-endian.
struct Vst3Uid {
    uint8_t bytes[16];
};

constexpr uint8_t ByteOf(uint32_t value, int shift) {
    return static_cast<uint8_t>((value >> shift) & 0xFF);
}

constexpr Vst3Uid Vst3ComUid(uint32_t l1, uint32_t l2, uint32_t l3, uint32_t l4) {
    return {{ByteOf(l1, 0), ByteOf(l1, 8), ByteOf(l1, 16), ByteOf(l1, 24),
             ByteOf(l2, 16), ByteOf(l2, 24), ByteOf(l2, 0), ByteOf(l2, 8),
             ByteOf(l3, 24), ByteOf(l3, 16), ByteOf(l3, 8), ByteOf(l3, 0),
             ByteOf(l4, 24), ByteOf(l4, 16), ByteOf(l4, 8), ByteOf(l4, 0)}};
}

constexpr Vst3Uid kIidFUnknown = Vst3ComUid(0x00000000, 0x00000000, 0xC0000000, 0x00000046);
constexpr Vst3Uid kIidPluginBase = Vst3ComUid(0x22888DDB, 0x156E45AE, 0x8358B348, 0x08190625);
constexpr Vst3Uid kIidPluginFactory = Vst3ComUid(0x7A4D811C, 0x52114A1F, 0xAED9D2EE, 0x0B43BF9F);
constexpr Vst3Uid kIidPluginFactory2 = Vst3ComUid(0x0007B650, 0xF24B4C0B, 0xA464EDB9, 0xF00B2ABB);
constexpr Vst3Uid kIidPluginFactory3 = Vst3ComUid(0x4555A2AB, 0xC1234E57, 0x9B122910, 0x36878931);
constexpr Vst3Uid kIidComponent = Vst3ComUid(0xE831FF31, 0xF2D54301, 0x928EBBEE, 0x25697802);
constexpr Vst3Uid kIidHostApplication = Vst3ComUid(0x58E595CC, 0xDB2D4969, 0x8B6AAF8C, 0x36A664E5);

// The category of a class that makes processing components.
#define VST3_AUDIO_MODULE_CLASS "Audio Module Class"

// PFactoryInfo. Its flags: 16 says the classes answer getClassInfoUnicode.
struct Vst3FactoryInfo {
    char vendor[64];
    char url[256];
    char email[128];
    int32_t flags;
};
static_assert(sizeof(Vst3FactoryInfo) == 452, "PFactoryInfo layout");

constexpr int32_t kVst3ManyInstances = 0x7FFFFFFF;

// PClassInfo.
struct Vst3ClassInfo {
    uint8_t cid[16];
    int32_t cardinality;
    char category[32];
    char name[64];
};
static_assert(sizeof(Vst3ClassInfo) == 116, "PClassInfo layout");

// PClassInfo2 (IPluginFactory2): the first fields of PClassInfo, then more.
struct Vst3ClassInfo2 {
    uint8_t cid[16];
    int32_t cardinality;
    char category[32];
    char name[64];
    uint32_t classFlags;
    char subCategories[128];  // "|"-separated
    char vendor[64];
    char version[64];
    char sdkVersion[64];
};
static_assert(sizeof(Vst3ClassInfo2) == 440, "PClassInfo2 layout");

// PClassInfoW (IPluginFactory3): PClassInfo2 with its names in UTF-16.
struct Vst3ClassInfoW {
    uint8_t cid[16];
    int32_t cardinality;
    char category[32];
    wchar_t name[64];
    uint32_t classFlags;
    char subCategories[128];
    wchar_t vendor[64];
    wchar_t version[64];
    wchar_t sdkVersion[64];
};
static_assert(offsetof(Vst3ClassInfoW, classFlags) == 180, "PClassInfoW layout");
static_assert(sizeof(Vst3ClassInfoW) == 696, "PClassInfoW layout");

// Bus media types, directions and types (Vst::MediaTypes, BusDirections,
// BusTypes), each an int32.
constexpr int32_t kVst3Audio = 0;
constexpr int32_t kVst3Event = 1;
constexpr int32_t kVst3Input = 0;
constexpr int32_t kVst3Output = 1;
constexpr int32_t kVst3MainBus = 0;
constexpr int32_t kVst3AuxBus = 1;

// Vst::BusInfo.
struct Vst3BusInfo {
    int32_t mediaType;
    int32_t direction;
    int32_t channelCount;
    wchar_t name[128];
    int32_t busType;
    uint32_t flags;
};
static_assert(sizeof(Vst3BusInfo) == 276, "BusInfo layout");

// The tables. `self` is the interface pointer the function was found through.
struct Vst3UnknownTable {
    Vst3Result(VST3CALL* queryInterface)(void* self, const uint8_t* iid, void** object);
    uint32_t(VST3CALL* addRef)(void* self);
    uint32_t(VST3CALL* release)(void* self);
};

struct Vst3FactoryTable {
    Vst3UnknownTable unknown;
    Vst3Result(VST3CALL* getFactoryInfo)(void* self, Vst3FactoryInfo* info);
    int32_t(VST3CALL* countClasses)(void* self);
    Vst3Result(VST3CALL* getClassInfo)(void* self, int32_t index, Vst3ClassInfo* info);
    Vst3Result(VST3CALL* createInstance)(void* self, const uint8_t* cid, const uint8_t* iid, void** object);
};

struct Vst3Factory2Table {
    Vst3FactoryTable factory;
    Vst3Result(VST3CALL* getClassInfo2)(void* self, int32_t index, Vst3ClassInfo2* info);
};

struct Vst3Factory3Table {
    Vst3Factory2Table factory2;
    Vst3Result(VST3CALL* getClassInfoUnicode)(void* self, int32_t index, Vst3ClassInfoW* info);
    Vst3Result(VST3CALL* setHostContext)(void* self, void* context);
};

// IComponent, after IPluginBase's initialize and terminate.
struct Vst3ComponentTable {
    Vst3UnknownTable unknown;
    Vst3Result(VST3CALL* initialize)(void* self, void* context);
    Vst3Result(VST3CALL* terminate)(void* self);
    Vst3Result(VST3CALL* getControllerClassId)(void* self, uint8_t* cid);
    Vst3Result(VST3CALL* setIoMode)(void* self, int32_t mode);
    int32_t(VST3CALL* getBusCount)(void* self, int32_t type, int32_t direction);
    Vst3Result(VST3CALL* getBusInfo)(void* self, int32_t type, int32_t direction, int32_t index,
                                     Vst3BusInfo* bus);
    Vst3Result(VST3CALL* getRoutingInfo)(void* self, void* in, void* out);
    Vst3Result(VST3CALL* activateBus)(void* self, int32_t type, int32_t direction, int32_t index,
                                      uint8_t state);
    Vst3Result(VST3CALL* setActive)(void* self, uint8_t state);
    Vst3Result(VST3CALL* setState)(void* self, void* stream);
    Vst3Result(VST3CALL* getState)(void* self, void* stream);
};

// Vst::IHostApplication: what the host hands plug-ins as their context.
struct Vst3HostApplicationTable {
    Vst3UnknownTable unknown;
    Vst3Result(VST3CALL* getName)(void* self, wchar_t* name);  // String128: 128 units
    Vst3Result(VST3CALL* createInstance)(void* self, const uint8_t* cid, const uint8_t* iid, void** object);
};

// An interface pointer: an object whose first member is its table.
template <typename Table>
struct Vst3Interface {
    const Table* table;
};

using Vst3Factory = Vst3Interface<Vst3FactoryTable>;
using Vst3Factory2 = Vst3Interface<Vst3Factory2Table>;
using Vst3Factory3 = Vst3Interface<Vst3Factory3Table>;
using Vst3Component = Vst3Interface<Vst3ComponentTable>;

// The module's exports on Windows. GetPluginFactory is __stdcall; InitDll
// and ExitDll are plain C functions. None takes an argument.
using Vst3GetFactoryFn = Vst3Factory*(VST3CALL*)();
using Vst3ModuleFn = bool (*)();

// The folder of a bundle's binary for each architecture, under Contents.
#define VST3_X64_FOLDER L"x86_64-win"
#define VST3_X86_FOLDER L"x86-win"
