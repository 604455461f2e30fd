#include "host/engine/records/ResultsFile.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "host/engine/util/Text.h"

namespace host {

namespace {

// Closes a file handle of CreateFileW, whose failure value is
// INVALID_HANDLE_VALUE, when the scope ends.
class ScopedFile {
public:
    explicit ScopedFile(HANDLE handle) : handle_(handle) {}
    ~ScopedFile() { Close(); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    bool Close() {
        bool ok = !valid() || CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE handle_;
};

std::string SystemError(DWORD code) {
    wchar_t* message = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring text(message ? message : L"", length);
    LocalFree(message);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    std::string number = "system error " + std::to_string(code);
    return text.empty() ? number : ToUtf8(text) + " (" + number + ")";
}

// The failure of the last system call on path, for *error.
std::string Failure(const char* what, const std::wstring& path) {
    DWORD code = GetLastError();
    return std::string(what) + " " + ToUtf8(path) + ": " + SystemError(code);
}

bool IsMissing(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return L".";
    // "C:\file" lives in "C:\", not in "C:", which would be the drive's
    // current folder.
    if (slash == 0 || path[slash - 1] == L':')
        return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

// Reads the whole file. *missing tells a file that does not exist from one
// that cannot be read.
bool ReadWholeFile(const std::wstring& path, std::string* bytes, bool* missing,
                   std::string* error) {
    *missing = false;
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) {
        *missing = IsMissing(GetLastError());
        if (!*missing)
            *error = Failure("cannot open", path);
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) {
        *error = Failure("cannot read", path);
        return false;
    }
    bytes->resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes->size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes->size() - done, 1 << 30));
        DWORD read = 0;
        if (!ReadFile(file.get(), &(*bytes)[done], chunk, &read, nullptr)) {
            *error = Failure("cannot read", path);
            return false;
        }
        if (read == 0)
            break;
        done += read;
    }
    bytes->resize(done);
    return true;
}

// Moves a file that cannot be read as results out of the way, to a name
// that tells when; *aside gets that name.
bool SetAside(const std::wstring& path, std::wstring* aside, std::string* error) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    snprintf(stamp, sizeof(stamp), ".bad-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond);
    for (int number = 1; number < 1000; number++) {
        *aside = path + FromUtf8(stamp) + (number == 1 ? L"" : L"-" + std::to_wstring(number));
        if (MoveFileExW(path.c_str(), aside->c_str(), 0))
            return true;
        DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) {
            *error = "cannot set aside " + ToUtf8(path) + ": " + SystemError(code);
            return false;
        }
    }
    *error = "cannot set aside " + ToUtf8(path) + ": every name for it is taken";
    return false;
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

// A name beside path that no other process, and no other save of this
// process, uses at the same time.
std::wstring TemporaryName(const std::wstring& path) {
    static LONG counter = 0;
    return path + L".tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&counter));
}

}  // namespace

bool LoadResultsFile(const std::wstring& path, Results* results, std::string* warning,
                     std::string* error) {
    *results = Results();
    warning->clear();
    std::string text;
    bool missing = false;
    if (!ReadWholeFile(path, &text, &missing, error))
        return missing;

    std::string reason;
    if (text.empty()) {
        reason = "it is empty";
    } else {
        Json json = Json::parse(text, nullptr, false);
        if (json.is_discarded())
            reason = "it is not JSON";
        else if (FromJson(json, results, &reason))
            return true;
    }
    *results = Results();
    std::wstring aside;
    if (!SetAside(path, &aside, error))
        return false;
    *warning = ToUtf8(path) + " could not be read as results (" + reason +
               "); it was set aside as " + ToUtf8(aside);
    return true;
}

bool ReadResultsFile(const std::wstring& path, Results* results, std::string* error) {
    std::string text;
    bool missing = false;
    if (!ReadWholeFile(path, &text, &missing, error)) {
        if (missing)
            *error = ToUtf8(path) + " does not exist";
        return false;
    }
    std::string reason;
    Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded())
        reason = text.empty() ? "it is empty" : "it is not JSON";
    else if (FromJson(json, results, &reason))
        return true;
    *error = ToUtf8(path) + " cannot be read as results: " + reason;
    return false;
}

bool CheckResultsWritable(const std::wstring& path, std::string* error) {
    std::wstring folder = FolderOf(path);
    DWORD folderAttributes = GetFileAttributesW(folder.c_str());
    if (folderAttributes == INVALID_FILE_ATTRIBUTES ||
        !(folderAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *error = "the folder " + ToUtf8(folder) + " of the results does not exist";
        return false;
    }
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            *error = ToUtf8(path) + " is a folder";
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            *error = ToUtf8(path) + " is read-only";
            return false;
        }
    }
    // The surest test of a folder's permissions is a file made in it.
    std::wstring probe = TemporaryName(path);
    ScopedFile file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file.valid()) {
        *error = Failure("cannot create files beside", path);
        return false;
    }
    return true;
}

std::string ResultsText(const Results& results) {
    return ToJson(results).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool SaveResultsFile(const std::wstring& path, const Results& results, std::string* error) {
    std::string saving = "cannot save " + ToUtf8(path) + ": ";
    auto fail = [&](const char* step) {
        DWORD code = GetLastError();
        *error = saving + step + SystemError(code);
        return false;
    };
    // Windows refuses to rename over a read-only file, but Wine 8 was seen
    // to replace it: asking first keeps a read-only file under both.
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        *error = saving + "it is read-only";
        return false;
    }
    std::string text = ResultsText(results);
    std::wstring temporary = TemporaryName(path);
    ScopedFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return fail("no file can be made beside it: ");
    bool ok = (WriteAll(file.get(), text) && FlushFileBuffers(file.get())) ||
              fail("the file beside it cannot be written: ");
    if (!file.Close() && ok)
        ok = fail("the file beside it cannot be closed: ");
    if (ok && !MoveFileExW(temporary.c_str(), path.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ok = fail("");
    if (!ok)
        DeleteFileW(temporary.c_str());
    return ok;
}

}  // namespace host
