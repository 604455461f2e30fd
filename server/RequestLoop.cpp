#include "server/RequestLoop.h"

#include <cstring>

#include "scan/ScanRequest.h"
#include "server/DumpWriter.h"
#include "server/MessageChannel.h"
#include "server/MessagePump.h"

namespace {

// Keeps the bytes of a request line up to its first NUL or line feed,
// across as many reads as the line takes.
class LineCollector {
public:
    explicit LineCollector(CStringA* line) : line_(line), ended_(false), failed_(false), total_(0) {
        line_->Release();
    }

    // Takes one read's bytes; true once the line feed has been seen.
    bool Take(const char* bytes, DWORD count) {
        const char* feed = static_cast<const char*>(memchr(bytes, '\n', count));
        DWORD used = feed ? static_cast<DWORD>(feed - bytes) + 1 : count;
        // Saturates rather than wraps, however long the line runs.
        total_ = total_ > kMaxRequestLineBytes ? total_ : total_ + used;
        if (!ended_ && total_ <= kMaxRequestLineBytes) {
            DWORD keep = feed ? used - 1 : used;
            const char* nul = static_cast<const char*>(memchr(bytes, 0, keep));
            if (nul) {
                keep = static_cast<DWORD>(nul - bytes);
                ended_ = true;
            }
            if (!line_->Append(bytes, static_cast<int32_t>(keep)))
                failed_ = true;
        }
        return feed != nullptr;
    }

    RequestRead Result() const {
        if (total_ > kMaxRequestLineBytes)
            return RequestRead::TooLong;
        if (failed_)
            return RequestRead::NoMemory;
        return RequestRead::Line;
    }

private:
    CStringA* line_;
    bool ended_;
    bool failed_;
    DWORD total_;
};

}  // namespace

RequestRead ReadRequestLine(HANDLE pipe, CStringA* line) {
    char buffer[kRequestReadSize + 1];
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, kRequestReadSize, &got, nullptr) || got == 0)
        return RequestRead::Closed;

    LineCollector collector(line);
    bool complete = collector.Take(buffer, got);
    // One read is one request, unless it filled the whole buffer without a
    // line feed: then the line goes on in the pipe, and serving its first
    // 1024 bytes as a path would load the wrong file. From then on it is
    // read to its line feed, however the host's writes cut it into reads: a
    // short read only means the rest has not been written yet.
    if (!complete && got == kRequestReadSize) {
        while (!complete) {
            // A host gone mid-line leaves a cut path, which would load the
            // wrong file (LoadLibrary even adds ".dll" to a cut name), for
            // nobody to read the answer: it is not served.
            if (!ReadFile(pipe, buffer, kRequestReadSize, &got, nullptr) || got == 0)
                return RequestRead::Closed;
            complete = collector.Take(buffer, got);
        }
    }
    // An empty line is still a request: an allocated empty one.
    if (line->IsNull() && collector.Result() == RequestRead::Line && !line->Append("", -1))
        return RequestRead::NoMemory;
    return collector.Result();
}

void RunRequestLoop() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    for (;;) {
        WritePrompt();
        // The host has had the first prompt: the dump writer may load
        // DbgHelp now without delaying the start. Only the first call acts.
        LetDumpWriterPrepare();
        CStringA line;
        RequestRead read = ReadRequestLine(serverState.inputPipe, &line);
        if (read == RequestRead::Closed)
            break;
        PumpWindowMessages();
        if (read == RequestRead::TooLong) {
            HandleRejectedRequest(L"Request line too long, ignored");
            continue;
        }
        CStringW request = Simple::FromUtf8(line);
        if (read == RequestRead::NoMemory || request.IsNull()) {
            HandleRejectedRequest(L"Out of memory reading the request, ignored");
            continue;
        }
        WaitUntilDumpWriterPrepared();
        HandleScanRequest(request);
    }
}

void RunWindowLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}
