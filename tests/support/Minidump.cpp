#include "tests/support/Minidump.h"

#include <dbghelp.h>

namespace testing_support {

namespace {

bool ReadWholeFile(const std::wstring& path, std::vector<char>* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (1LL << 31);
    if (ok) {
        bytes->resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = bytes->empty() ||
             (ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) &&
              got == bytes->size());
    }
    CloseHandle(file);
    return ok;
}

// Every stream's data must lie inside the file: a dump cut short fails here.
bool StreamsInsideFile(const std::vector<char>& bytes, std::string* error) {
    if (bytes.size() < sizeof(MINIDUMP_HEADER)) {
        *error = "shorter than a header";
        return false;
    }
    auto* header = reinterpret_cast<const MINIDUMP_HEADER*>(bytes.data());
    // "MDMP" in the file; the header's MINIDUMP_SIGNATURE is a multi-character constant.
    if (header->Signature != 0x504D444D) {
        *error = "no MDMP signature";
        return false;
    }
    uint64_t directoryEnd = uint64_t{header->StreamDirectoryRva} +
                            uint64_t{header->NumberOfStreams} * sizeof(MINIDUMP_DIRECTORY);
    if (directoryEnd > bytes.size()) {
        *error = "the stream directory runs past the end";
        return false;
    }
    auto* directory =
        reinterpret_cast<const MINIDUMP_DIRECTORY*>(bytes.data() + header->StreamDirectoryRva);
    for (ULONG i = 0; i < header->NumberOfStreams; i++) {
        const MINIDUMP_LOCATION_DESCRIPTOR& where = directory[i].Location;
        if (uint64_t{where.Rva} + where.DataSize > bytes.size()) {
            *error = "stream " + std::to_string(directory[i].StreamType) + " runs past the end";
            return false;
        }
    }
    return true;
}

std::wstring FileNameOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

const Minidump::Thread* Minidump::FindThread(DWORD id) const {
    for (const Thread& thread : threads)
        if (thread.id == id)
            return &thread;
    return nullptr;
}

const Minidump::Module* Minidump::ModuleAt(uint64_t address) const {
    for (const Module& module : modules)
        if (address >= module.base && address < module.base + module.size)
            return &module;
    return nullptr;
}

bool ReadMinidump(const std::wstring& path, Minidump* dump, std::string* error) {
    std::vector<char> bytes;
    if (!ReadWholeFile(path, &bytes)) {
        *error = "cannot read the file";
        return false;
    }
    dump->fileSize = bytes.size();
    if (!StreamsInsideFile(bytes, error))
        return false;
    void* base = bytes.data();
    void* stream = nullptr;
    ULONG size = 0;

    if (!MiniDumpReadDumpStream(base, ExceptionStream, nullptr, &stream, &size)) {
        *error = "no exception stream";
        return false;
    }
    auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
    dump->exceptionThreadId = exception->ThreadId;
    dump->exceptionCode = exception->ExceptionRecord.ExceptionCode;
    dump->exceptionAddress = exception->ExceptionRecord.ExceptionAddress;
    const MINIDUMP_LOCATION_DESCRIPTOR& context = exception->ThreadContext;
    if (context.DataSize < sizeof(CONTEXT) || uint64_t{context.Rva} + context.DataSize > bytes.size()) {
        *error = "no whole context for the exception";
        return false;
    }
    // The dump holds the context of the server's own architecture, as this
    // test program's CONTEXT is.
#if defined(__x86_64__)
    dump->exceptionStackPointer = reinterpret_cast<const CONTEXT*>(bytes.data() + context.Rva)->Rsp;
#else
    dump->exceptionStackPointer = reinterpret_cast<const CONTEXT*>(bytes.data() + context.Rva)->Esp;
#endif

    if (!MiniDumpReadDumpStream(base, ThreadListStream, nullptr, &stream, &size)) {
        *error = "no thread list";
        return false;
    }
    auto* threads = static_cast<const MINIDUMP_THREAD_LIST*>(stream);
    for (ULONG i = 0; i < threads->NumberOfThreads; i++) {
        const MINIDUMP_THREAD& thread = threads->Threads[i];
        dump->threads.push_back(
            {thread.ThreadId, thread.Stack.StartOfMemoryRange, thread.Stack.Memory.DataSize});
    }

    if (!MiniDumpReadDumpStream(base, ModuleListStream, nullptr, &stream, &size)) {
        *error = "no module list";
        return false;
    }
    auto* modules = static_cast<const MINIDUMP_MODULE_LIST*>(stream);
    for (ULONG i = 0; i < modules->NumberOfModules; i++) {
        const MINIDUMP_MODULE& module = modules->Modules[i];
        if (uint64_t{module.ModuleNameRva} + sizeof(MINIDUMP_STRING) > bytes.size()) {
            *error = "a module name outside the file";
            return false;
        }
        auto* name = reinterpret_cast<const MINIDUMP_STRING*>(bytes.data() + module.ModuleNameRva);
        std::wstring path(name->Buffer, name->Length / sizeof(WCHAR));
        dump->modules.push_back({module.BaseOfImage, module.SizeOfImage, FileNameOf(path)});
    }
    return true;
}

}  // namespace testing_support
