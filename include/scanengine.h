/* scanengine.h: the scanning engine of plugin-scan as a DLL with a C
 * interface, for hosts of any compiler or language.
 *
 * One scan is one handle: made from an options object, run once, its
 * results read, destroyed. Strings are UTF-8; structured ones are JSON.
 * Nothing allocated by one side is freed by the other, no C++ type or
 * exception crosses the boundary, and the DLL carries its own C runtime.
 * See docs/engine.md ("The engine as a DLL") for the options, the events and
 * what each call does with bad input. */
#ifndef SCANENGINE_H
#define SCANENGINE_H

#include <stddef.h>

#ifdef SCANENGINE_BUILDING
#define SCANENGINE_API __declspec(dllexport)
#else
#define SCANENGINE_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct scanengine_scan scanengine_scan;

/* Receives each event, a JSON object with an "event" key, on the thread
 * that called scanengine_run, in order. The text is valid during the call. */
typedef void (*scanengine_event_fn)(const char* event_json, void* user);

/* Makes a scan from a JSON object of options (NULL or "": all defaults).
 * NULL when the options are not such an object, with the reason in error
 * (always terminated, cut to error_size; error may be NULL). */
SCANENGINE_API scanengine_scan* scanengine_create(const char* options_json, char* error,
                                                  size_t error_size);

/* Sets where events go (NULL: nowhere). Call before scanengine_run. */
SCANENGINE_API void scanengine_set_events(scanengine_scan* scan, scanengine_event_fn callback,
                                          void* user);

/* Scans, blocking; 0: ran to its end, 1: stopped, 2: could not run. */
SCANENGINE_API int scanengine_run(scanengine_scan* scan);

/* Ends the scan as soon as possible; what is done is saved. From any
 * thread, also from the callback; before run it makes run stop at once. */
SCANENGINE_API void scanengine_stop(scanengine_scan* scan);

/* The results file's JSON text; valid until destroy. "" before run. */
SCANENGINE_API const char* scanengine_results(scanengine_scan* scan);

/* Why run returned 2; "" otherwise. Valid until the next call on scan. */
SCANENGINE_API const char* scanengine_error(scanengine_scan* scan);

/* Frees the scan; a scan still running is stopped and waited for. */
SCANENGINE_API void scanengine_destroy(scanengine_scan* scan);

/* The results file's format number. */
SCANENGINE_API int scanengine_version(void);

#ifdef __cplusplus
}
#endif

#endif /* SCANENGINE_H */
