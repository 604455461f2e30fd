/* A host written in plain C that knows only scanengine.h and the DLL: it
 * scans kit plug-ins, follows the events, stops scans from another thread
 * and from before they run, and hands the engine bad options and a callback
 * that throws. Prints "N passed, N failed" and exits non-zero on a failure. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "scanengine.h"

static int passed, failed;

#define CHECK(condition, what)                                                   \
    do {                                                                         \
        if (condition) {                                                         \
            passed++;                                                            \
        } else {                                                                 \
            failed++;                                                            \
            fprintf(stderr, "%s:%d: %s: %s\n", __FILE__, __LINE__, what, #condition); \
        }                                                                        \
    } while (0)

static char folder[MAX_PATH];  /* a fresh temporary folder, with a backslash */
static char plugins[MAX_PATH]; /* the kit, with a backslash */

static void Prepare(void) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    /* Wine hands out the same process ids again: the time makes it new. */
    snprintf(folder, sizeof folder, "%sc-host-%lu-%llu\\", temp, GetCurrentProcessId(),
             (unsigned long long)GetTickCount64());
    CreateDirectoryA(folder, NULL);
    GetModuleFileNameA(NULL, plugins, MAX_PATH);
    strcpy(strrchr(plugins, '\\') + 1, "plugins\\");
}

/* Copies text with its backslashes doubled, as a JSON string needs them. */
static void EscapeForJson(const char* text, char* out) {
    for (; *text; text++) {
        if (*text == '\\')
            *out++ = '\\';
        *out++ = *text;
    }
    *out = 0;
}

/* The options of a scan of the named kit plug-ins into results file out. */
static void Options(char* text, size_t size, const char* out, const char* const* names, int count,
                    const char* more) {
    char path[MAX_PATH], escaped[MAX_PATH * 2];
    size_t used = (size_t)snprintf(text, size, "{\"inputs\":[");
    for (int i = 0; i < count; i++) {
        snprintf(path, sizeof path, "%s%s", plugins, names[i]);
        EscapeForJson(path, escaped);
        used += (size_t)snprintf(text + used, size - used, "%s\"%s\"", i ? "," : "", escaped);
    }
    EscapeForJson(folder, escaped);
    snprintf(text + used, size - used, "],\"out\":\"%s%s\",\"jobs\":1%s}", escaped, out, more);
}

static char* ReadWhole(const char* path) {
    FILE* file = fopen(path, "rb");
    if (!file)
        return NULL;
    fseek(file, 0, SEEK_END);
    long length = ftell(file);
    fseek(file, 0, SEEK_SET);
    char* text = malloc((size_t)length + 1);
    size_t got = fread(text, 1, (size_t)length, file);
    text[got] = 0;
    fclose(file);
    return text;
}

struct Events {
    int count, starts, plugins, progress, ends;
    int firstIsStart, lastIsEnd;
    scanengine_scan* stopOnFirstPlugin;
};

static void CountEvent(const char* json, void* user) {
    struct Events* events = user;
    int start = strncmp(json, "{\"event\":\"start\"", 16) == 0;
    if (events->count == 0)
        events->firstIsStart = start;
    events->count++;
    events->starts += start;
    events->plugins += strncmp(json, "{\"event\":\"plugin\"", 17) == 0;
    events->progress += strncmp(json, "{\"event\":\"progress\"", 19) == 0;
    events->lastIsEnd = strncmp(json, "{\"event\":\"end\"", 14) == 0;
    events->ends += events->lastIsEnd;
    if (events->stopOnFirstPlugin && events->plugins == 1)
        scanengine_stop(events->stopOnFirstPlugin);
}

static void BadOptionsAreRefusedWithTheirReason(void) {
    static const struct {
        const char* options;
        const char* reason;
    } cases[] = {
        {"{\"jobs\": 2,", "not JSON"},                  /* cut short */
        {"[1, 2]", "must be a JSON object"},          /* an array */
        {"{\"job\": 2}", "unknown option \"job\""},   /* a misspelt key */
        {"{\"jobs\": \"2\"}", "\"jobs\" must be"},    /* text where a number belongs */
        {"{\"jobs\": 0}", "\"jobs\" must be"},        /* out of range */
        {"{\"timeout\": -1}", "\"timeout\" must be"}, /* negative seconds */
        {"{\"dialogs\": \"ignore\"}", "\"dialogs\" must be"},
        {"{\"formats\": \"vst2,au\"}", "\"formats\" must be"}, /* a format the engine does not scan */
        {"{\"inputs\": \"C:\\\\VST\"}", "\"inputs\" must be"}, /* one path, not a list */
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        char error[200];
        scanengine_scan* scan = scanengine_create(cases[i].options, error, sizeof error);
        CHECK(scan == NULL, cases[i].options);
        CHECK(strstr(error, cases[i].reason) != NULL, cases[i].options);
    }
    /* No room for the reason, or none at all: still refused, nothing written past it. */
    char tiny[4] = {'x', 'x', 'x', 'x'};
    CHECK(scanengine_create("{\"job\": 2}", tiny, 3) == NULL, "a short error buffer");
    CHECK(tiny[2] == 0 && tiny[3] == 'x', "a short error buffer is cut and terminated");
    CHECK(scanengine_create("{\"job\": 2}", NULL, 0) == NULL, "no error buffer");
    memset(tiny, 'x', sizeof tiny);
    CHECK(scanengine_create("[]", tiny, 0) == NULL && tiny[0] == 'x', "a zero-sized error buffer");
}

static void AScanSendsItsEventsInOrderAndSavesWhatItReturns(void) {
    const char* names[] = {"effect.dll", "crash_entry.dll", "shell.dll"};
    char options[4096], error[200];
    Options(options, sizeof options, "all.json", names, 3, ",\"timeout\":30");
    scanengine_scan* scan = scanengine_create(options, error, sizeof error);
    CHECK(scan != NULL, error);
    if (!scan)
        return;
    struct Events events = {0};
    scanengine_set_events(scan, CountEvent, &events);
    CHECK(strcmp(scanengine_results(scan), "") == 0, "no results before the run");
    CHECK(scanengine_run(scan) == 0, scanengine_error(scan));
    CHECK(strcmp(scanengine_error(scan), "") == 0, "no error after a run to its end");
    CHECK(events.firstIsStart && events.starts == 1, "start comes first, once");
    CHECK(events.lastIsEnd && events.ends == 1, "end comes last, once");
    CHECK(events.plugins == 3, "one plugin event per plug-in file");
    CHECK(events.progress >= 1, "progress is told");

    char path[MAX_PATH];
    snprintf(path, sizeof path, "%sall.json", folder);
    char* file = ReadWhole(path);
    CHECK(file != NULL && strcmp(file, scanengine_results(scan)) == 0,
          "the results are the results file's text");
    CHECK(strstr(scanengine_results(scan), "\"status\": \"crashed\"") != NULL, "the crash is recorded");
    free(file);

    CHECK(scanengine_run(scan) == 2, "a second run is refused");
    CHECK(strstr(scanengine_error(scan), "run already") != NULL, scanengine_error(scan));
    scanengine_destroy(scan);
    CHECK(scanengine_version() == 1, "the results format");
}

static DWORD WINAPI StopLater(void* scan) {
    Sleep(1500);
    scanengine_stop(scan);
    return 0;
}

static void AStopFromAnotherThreadEndsAHungScanAndSavesIt(void) {
    const char* names[] = {"effect.dll", "hang_entry.dll"};
    char options[4096], error[200], path[MAX_PATH];
    Options(options, sizeof options, "stopped.json", names, 2, ",\"timeout\":120");
    scanengine_scan* scan = scanengine_create(options, error, sizeof error);
    CHECK(scan != NULL, error);
    if (!scan)
        return;
    HANDLE stopper = CreateThread(NULL, 0, StopLater, scan, 0, NULL);
    ULONGLONG started = GetTickCount64();
    CHECK(scanengine_run(scan) == 1, "a stopped scan says so");
    CHECK(GetTickCount64() - started < 15000, "the stop ends the hang long before its time limit");
    WaitForSingleObject(stopper, INFINITE);
    CloseHandle(stopper);
    snprintf(path, sizeof path, "%sstopped.json", folder);
    char* file = ReadWhole(path);
    CHECK(file && strstr(file, "\"stopped\": true") && strstr(file, "effect.dll"),
          "what was done is saved");
    free(file);
    scanengine_destroy(scan);
}

static void AStopBeforeTheRunOrFromTheCallbackEndsTheScan(void) {
    const char* names[] = {"effect.dll", "shell.dll", "synth.dll"};
    char options[4096], error[200];
    Options(options, sizeof options, "early.json", names, 3, "");
    scanengine_scan* scan = scanengine_create(options, error, sizeof error);
    scanengine_stop(scan);
    CHECK(scanengine_run(scan) == 1, "stopped before it ran");
    scanengine_stop(scan); /* after its end: nothing to do */
    scanengine_destroy(scan);

    Options(options, sizeof options, "callback.json", names, 3, "");
    scan = scanengine_create(options, error, sizeof error);
    struct Events events = {0};
    events.stopOnFirstPlugin = scan;
    scanengine_set_events(scan, CountEvent, &events);
    CHECK(scanengine_run(scan) == 1, "stopped from its callback");
    CHECK(events.plugins < 3 && events.lastIsEnd, "the scan ended early, with its end event");
    scanengine_destroy(scan);
}

/* A C++ throw of the host's compiler is a structured exception; the code
 * is the one Microsoft's C++ runtime raises. */
static void Throw(const char* json, void* user) {
    (void)json;
    (void)user;
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, NULL);
}

static void ACallbackThatThrowsStopsTheScanNotTheHost(void) {
    const char* names[] = {"effect.dll"};
    char options[4096], error[200];
    Options(options, sizeof options, "throws.json", names, 1, "");
    scanengine_scan* scan = scanengine_create(options, error, sizeof error);
    scanengine_set_events(scan, Throw, NULL);
    CHECK(scanengine_run(scan) == 2, "a throwing callback ends the run");
    CHECK(strstr(scanengine_error(scan), "callback") != NULL, scanengine_error(scan));
    scanengine_destroy(scan);
}

static DWORD WINAPI StopAgainAndAgain(void* scan) {
    for (int i = 0; i < 20000; i++)
        scanengine_stop(scan);
    return 0;
}

static void DestroyWhileAnotherThreadStopsIsSafe(void) {
    scanengine_scan* scan = scanengine_create("{}", NULL, 0);
    HANDLE stopper = CreateThread(NULL, 0, StopAgainAndAgain, scan, 0, NULL);
    Sleep(1);
    scanengine_destroy(scan);
    WaitForSingleObject(stopper, INFINITE);
    CloseHandle(stopper);
    CHECK(strcmp(scanengine_results(scan), "") == 0, "a destroyed scan has nothing to give");
    scanengine_destroy(scan); /* twice: nothing happens */
}

int main(void) {
    Prepare();
    BadOptionsAreRefusedWithTheirReason();
    AScanSendsItsEventsInOrderAndSavesWhatItReturns();
    AStopFromAnotherThreadEndsAHungScanAndSavesIt();
    AStopBeforeTheRunOrFromTheCallbackEndsTheScan();
    ACallbackThatThrowsStopsTheScanNotTheHost();
    DestroyWhileAnotherThreadStopsIsSafe();
    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
