#include "server/CrashDump.h"

#include <cwchar>

#include "server/CrashGate.h"
#include "server/DumpWriter.h"
#include "server/ServerState.h"

namespace {

// Holds the dump file name; allocated at start-up, while the heap is sound.
// Only the dump writer writes to it, once.
wchar_t* dumpPathBuffer = nullptr;
size_t dumpPathCapacity = 0;
// The folder as the dump's path uses it: dumpFolder, with the long-path
// prefix when the whole name would pass MAX_PATH.
CStringW dumpPathFolder;

// What follows the folder besides the prefix: "\", then
// "-YYYY-MM-DD-hh-mm-ss.mdmp" (25 characters with a 4-digit year).
constexpr size_t kFixedNameLength = 1 + 25;
// A year may take a fifth digit: room for one more character.
constexpr size_t kFixedNameRoom = kFixedNameLength + 1;

class PathWriter {
public:
    PathWriter(wchar_t* out, size_t capacity) : out_(out), capacity_(capacity), used_(0) {}

    void Text(const wchar_t* text) {
        for (; text && *text; text++)
            Char(*text);
    }
    void Number(unsigned value, int minDigits) {
        wchar_t digits[10];
        int n = 0;
        do {
            digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value && n < 10);
        for (int pad = n; pad < minDigits; pad++)
            Char(L'0');
        while (n > 0)
            Char(digits[--n]);
    }
    void Char(wchar_t c) {
        if (used_ < capacity_)
            out_[used_] = c;
        used_++;
    }
    bool Finish() {
        if (used_ >= capacity_) {
            if (capacity_)
                out_[0] = 0;
            return false;
        }
        out_[used_] = 0;
        return true;
    }

private:
    wchar_t* out_;
    size_t capacity_;
    size_t used_;
};

}  // namespace

bool FormatCrashDumpPath(wchar_t* path, size_t capacity, const wchar_t* folder,
                         const wchar_t* prefix, const SYSTEMTIME& time) {
    PathWriter writer(path, capacity);
    writer.Text(folder);
    writer.Char(L'\\');
    writer.Text(prefix);
    writer.Char(L'-');
    writer.Number(time.wYear, 4);
    const WORD fields[] = {time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond};
    for (WORD field : fields) {
        writer.Char(L'-');
        writer.Number(field, 2);
    }
    writer.Text(L".mdmp");
    return writer.Finish();
}

CStringW DumpPathFolder(const wchar_t* folder, size_t nameLength) {
    CStringW result(folder);
    size_t folderLength = static_cast<size_t>(result.GetLength());
    if (folderLength + nameLength < MAX_PATH)
        return result;
    bool drive = folderLength >= 3 && folder[1] == L':' && folder[2] == L'\\';
    bool unc = folderLength >= 3 && folder[0] == L'\\' && folder[1] == L'\\' && folder[2] != L'?' &&
               folder[2] != L'.';
    if (drive) {
        CStringW prefixed(L"\\\\?\\");
        if (prefixed.Append(folder))
            return prefixed;
    } else if (unc) {
        CStringW prefixed(L"\\\\?\\UNC");
        if (prefixed.Append(folder + 1))
            return prefixed;
    }
    return result;
}

bool PrepareCrashDumpPath() {
    free(dumpPathBuffer);
    dumpPathBuffer = nullptr;
    dumpPathCapacity = 0;
    dumpPathFolder.Release();
    if (serverState.dumpFolder.GetLength() == 0)
        return true;
    size_t prefixLength = static_cast<size_t>(serverState.dumpPrefix.GetLength());
    dumpPathFolder = DumpPathFolder(serverState.dumpFolder, prefixLength + kFixedNameLength);
    if (dumpPathFolder.IsNull())
        return false;
    size_t capacity = static_cast<size_t>(dumpPathFolder.GetLength()) + prefixLength + kFixedNameRoom + 1;
    dumpPathBuffer = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
    if (!dumpPathBuffer)
        return false;
    dumpPathCapacity = capacity;
    return true;
}

const wchar_t* FormatCrashDumpPathAt(const SYSTEMTIME& time) {
    if (!dumpPathBuffer || !FormatCrashDumpPath(dumpPathBuffer, dumpPathCapacity, dumpPathFolder,
                                                serverState.dumpPrefix, time))
        return nullptr;
    return dumpPathBuffer;
}

void InstallCrashDumpFilter() {
    SetUnhandledExceptionFilter(WriteCrashDump);
}

// Runs on the faulting thread, which may be a plug-in's and may have a page
// or two of stack left. It allocates nothing and takes no lock, since the
// fault may have broken the heap or left a lock held: the dump is written by
// the writer thread, prepared at start-up.
LONG WINAPI WriteCrashDump(EXCEPTION_POINTERS* exception) {
    bool first = ClaimCrash();
    // The writer cannot write a dump of its own fault; what it had begun of
    // the dump goes with the process.
    if (IsDumpWriterThread())
        TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    if (!first)
        ParkForever();
    HandFaultToDumpWriter(exception);
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    return EXCEPTION_CONTINUE_SEARCH;
}
