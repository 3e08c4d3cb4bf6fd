/* SPDX-License-Identifier: Apache-2.0 */
/* TarnvelBroker host library, C interface of TarnvelHost.dll: start a broker beside the host
 * application, send it requests, stop it. Usable from C99, C++ and any language that calls
 * C functions; <tarnvel/host_client.h> is a C++ layer over it.
 *
 *   tarnvel_broker* broker = tarnvel_broker_create();
 *   tarnvel_options options = {0};
 *   options.size = sizeof options;    (no exe: TarnvelBroker.exe beside TarnvelHost.dll)
 *   if (tarnvel_broker_start(broker, &options) != TARNVEL_START_OK) { ... }
 *   uint32_t launches = 0;
 *   if (tarnvel_read_dword(broker, NULL, TARNVEL_HIVE_CURRENT_USER, key, keyLength,
 *                          L"launches", 8, &launches) == TARNVEL_OK) { ... }
 *   tarnvel_broker_destroy(broker);   (shuts the broker down first)
 *
 * ABI rules (docs/host-sdk.md says more):
 * - Plain C types only; every function is __cdecl (x86: undecorated names with the usual
 *   leading underscore in the import library); nothing but these functions is exported.
 * - Texts are UTF-16 (wchar_t) with an explicit length in code units; they need no NUL and
 *   cross whole, U+0000 included. What the broker does with a U+0000 is its own rule: a value
 *   name holding one (or \ or /) is TARNVEL_BAD_ARGUMENT, and a string value is read back only
 *   up to its first U+0000. A null pointer with length 0 is the empty text.
 * - Memory the library hands out (texts, lists, bytes, debugger lines, the pipe name) is
 *   freed with tarnvel_free, by no other function. Every out-parameter is set on each call,
 *   to an allocation when there is a value and to NULL otherwise; only a call refused with
 *   TARNVEL_CALL_INVALID_ARGUMENT may leave some as they were.
 * - Records passed in (tarnvel_options, tarnvel_call, tarnvel_broker_info,
 *   tarnvel_shutdown_result) begin with their own size: set it to sizeof the record. A later
 *   version only appends fields; it reads and writes only the fields the given size covers.
 * - No exception or longjmp leaves a function of this library; failures are return codes.
 * - A broker handle may be used from several threads (calls are serialised; a call's
 *   deadline includes its wait for another thread's call); it must not be destroyed while
 *   another thread is inside a call on it.
 */
#ifndef TARNVEL_HOST_H
#define TARNVEL_HOST_H

#include <stddef.h>
#include <stdint.h>

#if !defined(_WIN32)
#error "tarnvel/host.h: TarnvelHost.dll is a Windows library"
#endif

#define TARNVEL_CALL __cdecl
#if defined(TARNVEL_HOST_BUILDING_DLL)
#define TARNVEL_API
#else
#define TARNVEL_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Texts cross as UTF-16 code units. */
typedef char tarnvel_wchar_is_utf16_[sizeof(wchar_t) == 2 ? 1 : -1];

/* (major << 16) | (minor << 8) | patch of this header; tarnvel_version() gives the DLL's. */
#define TARNVEL_HOST_VERSION 0x010100u
TARNVEL_API uint32_t TARNVEL_CALL tarnvel_version(void);

/* Frees what the library allocated for the caller; NULL is ignored. */
TARNVEL_API void TARNVEL_CALL tarnvel_free(void* memory);

/* What a request function returns: 0 when the broker answered Success (and the value had the
 * form the call expects); 1 to 4 the broker's other statuses; a negative number, the negated
 * TARNVEL_CALL_ error, when no usable reply arrived. */
enum {
  TARNVEL_OK = 0,
  TARNVEL_NOT_FOUND = 1,
  TARNVEL_DENIED = 2,
  TARNVEL_FAILED = 3, /* also any status number outside 0 to 4 */
  TARNVEL_BAD_ARGUMENT = 4
};

/* tarnvel_call.error: what became of a call before the broker's status is known. */
enum {
  TARNVEL_CALL_NONE = 0,             /* a well-formed reply arrived */
  TARNVEL_CALL_NOT_STARTED = 1,      /* no broker was started, or the connection has ended */
  TARNVEL_CALL_TIMED_OUT = 2,        /* the deadline passed: while waiting for another thread's call
                                        nothing was sent and the connection stays; while waiting for
                                        the reply the connection ends */
  TARNVEL_CALL_BROKEN = 3,           /* the broker closed the pipe or a read failed */
  TARNVEL_CALL_MALFORMED = 4,        /* bytes arrived that are not a well-formed message */
  TARNVEL_CALL_WRONG_REPLY = 5,      /* a message arrived, but not the reply asked for */
  TARNVEL_CALL_WRITE_FAILED = 6,     /* the request could not be written */
  TARNVEL_CALL_BAD_REPLY_TEXT = 7,   /* status Success, but the text is not of the expected form */
  TARNVEL_CALL_INVALID_ARGUMENT = 8, /* a null pointer or a record size this library refuses */
  TARNVEL_CALL_TOO_LARGE = 9,        /* the request exceeds one message (64 MiB); nothing was sent */
  TARNVEL_CALL_OUT_OF_MEMORY = 10,   /* the library could not allocate; nothing was sent, or, when it
                                        happened while the reply was read, the connection ends */
  TARNVEL_CALL_INTERNAL = 11         /* an unexpected failure inside the library */
};

/* Registry roots. */
enum { TARNVEL_HIVE_CURRENT_USER = 0, TARNVEL_HIVE_LOCAL_MACHINE = 1 };

/* Called with each debugger line of the broker (its line feed removed), on a thread of the
 * library's own, while the broker waits: it must return soon, must not call into the library
 * for the same broker, and must not throw. */
typedef void(TARNVEL_CALL* tarnvel_debug_line_fn)(void* context, const char* line, size_t length);

/* tarnvel_options.flags */
enum {
  /* Run the broker under the debugger API: each call's tarnvel_call receives the lines the
   * broker wrote while serving it. Implied by onDebugLine. */
  TARNVEL_OPTION_DEBUG_LINES = 1
};

typedef struct tarnvel_options {
  uint32_t size;  /* sizeof(tarnvel_options) */
  uint32_t flags; /* TARNVEL_OPTION_ */
  /* Path of TarnvelBroker.exe. NULL/length 0: the one beside TarnvelHost.dll. A relative path
   * is taken from the DLL's folder, never the current directory or a search path; "C:x" and
   * "\x", which only the current drive or directory could complete, are BAD_OPTIONS. */
  const wchar_t* exe;
  size_t exeLength;
  const wchar_t* pipeName; /* empty: a name unique to this process */
  size_t pipeNameLength;
  uint32_t hostPid;    /* 0: this process */
  uint32_t handleBits; /* width of handle values the broker sends: 64, 32, 0 = this program's */
  /* Deadlines in milliseconds; 0 gives 5000. The call deadline is each call's default. */
  uint32_t connectTimeoutMs;
  uint32_t callTimeoutMs;
  uint32_t shutdownTimeoutMs;
  tarnvel_debug_line_fn onDebugLine; /* may be NULL */
  void* onDebugLineContext;
} tarnvel_options;

/* The part of a call that is the same for every request: a deadline in, the outcome out.
 * May be NULL where the return value says enough. */
typedef struct tarnvel_call {
  uint32_t size;      /* in: sizeof(tarnvel_call) */
  uint32_t timeoutMs; /* in: how long this call waits for its reply; 0: the broker's default */
  int32_t error;      /* out: TARNVEL_CALL_ */
  int32_t status;     /* out: the status number as the broker sent it; -1 without a reply */
  /* out: the broker's debugger lines written while it served this call, in order, each
   * followed by one NUL (debugLinesSize bytes in all); NULL when there were none or the broker
   * does not run under the debugger. Freed with tarnvel_free. */
  char* debugLines;
  size_t debugLinesSize;
  uint32_t debugLineCount;
} tarnvel_call;

typedef struct tarnvel_broker tarnvel_broker;

/* A broker handle not started yet; NULL when memory is short. */
TARNVEL_API tarnvel_broker* TARNVEL_CALL tarnvel_broker_create(void);
/* Shuts the broker down (with the shutdown deadline) and frees the handle; NULL is ignored. */
TARNVEL_API void TARNVEL_CALL tarnvel_broker_destroy(tarnvel_broker* broker);

/* tarnvel_broker_start's result and tarnvel_broker_info.startFailure. */
enum {
  TARNVEL_START_OK = 0,
  TARNVEL_START_CANNOT_CREATE_PROCESS = 1, /* windowsError says why (2: no such file, ...) */
  TARNVEL_START_BROKER_EXITED = 2,         /* ended before accepting; exitCode holds its code */
  TARNVEL_START_CONNECT_TIMED_OUT = 3,     /* still running, its pipe did not accept in time */
  TARNVEL_START_BAD_OPTIONS = 4,           /* null or unknown-size options, an exe of the kind above */
  TARNVEL_START_ALREADY_STARTED = 5,       /* this handle's broker runs (until shutdown); it goes on */
  TARNVEL_START_OUT_OF_MEMORY = 6
};

/* Starts the broker and connects as its host. On failure the broker no longer runs and the
 * handle may be started again; after tarnvel_broker_shutdown it may start a new broker. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_broker_start(tarnvel_broker* broker, const tarnvel_options* options);

/* Describes the last tarnvel_broker_start on the handle; fields that do not apply to its
 * result are 0. */
typedef struct tarnvel_broker_info {
  uint32_t size;         /* in: sizeof(tarnvel_broker_info) */
  int32_t startFailure;  /* TARNVEL_START_ */
  uint32_t windowsError; /* with TARNVEL_START_CANNOT_CREATE_PROCESS */
  uint32_t exitCode;     /* with TARNVEL_START_BROKER_EXITED */
  uint32_t pid;          /* the broker's process id (the running one after ALREADY_STARTED); 0 when none */
} tarnvel_broker_info;

/* 0, or -TARNVEL_CALL_INVALID_ARGUMENT. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_broker_get_info(const tarnvel_broker* broker, tarnvel_broker_info* info);
/* The pipe name in use (allocated); 0, or a negated TARNVEL_CALL_ error. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_broker_pipe_name(const tarnvel_broker* broker, wchar_t** name, size_t* length);

typedef struct tarnvel_shutdown_result {
  uint32_t size;      /* in: sizeof(tarnvel_shutdown_result) */
  int32_t exited;     /* the broker ended by itself within the deadline */
  int32_t terminated; /* it did not, and was terminated */
  uint32_t exitCode;  /* valid when exited */
} tarnvel_shutdown_result;

/* Closes the pipe, waits for the broker to exit (timeoutMs, 0: the shutdown deadline of the
 * options) and terminates it after that. Later calls answer TARNVEL_CALL_NOT_STARTED; a second
 * shutdown gives the first one's result. result may be NULL. 0, or
 * -TARNVEL_CALL_INVALID_ARGUMENT. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_broker_shutdown(tarnvel_broker* broker, uint32_t timeoutMs,
                                                         tarnvel_shutdown_result* result);

/* ---- Requests. Each returns TARNVEL_OK, a status 1-4 or a negated TARNVEL_CALL_ error. */

/* text: "pong". */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_ping(tarnvel_broker* broker, tarnvel_call* call, wchar_t** text,
                                              size_t* length);

TARNVEL_API int32_t TARNVEL_CALL tarnvel_read_string(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                     const wchar_t* key, size_t keyLength, const wchar_t* name,
                                                     size_t nameLength, wchar_t** text, size_t* length);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_read_dword(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                    const wchar_t* key, size_t keyLength, const wchar_t* name,
                                                    size_t nameLength, uint32_t* value);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_read_qword(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                    const wchar_t* key, size_t keyLength, const wchar_t* name,
                                                    size_t nameLength, uint64_t* value);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_write_string(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                      const wchar_t* key, size_t keyLength, const wchar_t* name,
                                                      size_t nameLength, const wchar_t* text, size_t textLength);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_write_dword(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                     const wchar_t* key, size_t keyLength, const wchar_t* name,
                                                     size_t nameLength, uint32_t value);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_write_qword(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                     const wchar_t* key, size_t keyLength, const wchar_t* name,
                                                     size_t nameLength, uint64_t value);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_delete_value(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                      const wchar_t* key, size_t keyLength, const wchar_t* name,
                                                      size_t nameLength);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_delete_key(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                    const wchar_t* key, size_t keyLength);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_delete_tree(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                     const wchar_t* key, size_t keyLength);
/* exists: 1 or 0; a missing key is TARNVEL_OK with 0. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_key_exists(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                    const wchar_t* key, size_t keyLength, int32_t* exists);
/* list: the names, each followed by one U+0000 (length units in all); count: how many. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_list_keys(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                   const wchar_t* key, size_t keyLength, wchar_t** list, size_t* length,
                                                   size_t* count);
/* list: name, data, name, data, ... each followed by one U+0000; count: how many values
 * (pairs). The data of a value that is not a string is empty. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_list_values(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                     const wchar_t* key, size_t keyLength, wchar_t** list,
                                                     size_t* length, size_t* count);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_copy_tree(tarnvel_broker* broker, tarnvel_call* call, int32_t hive,
                                                   const wchar_t* sourceKey, size_t sourceKeyLength,
                                                   const wchar_t* destinationKey, size_t destinationKeyLength);

/* Plug-in data files: bytes (hexadecimal on the wire). A read answers NOT_FOUND for a file
 * larger than 4 MiB, as for a missing one. A write creates at most the last missing folder:
 * on a fresh profile %APPDATA%\tarnvel itself is missing, so a first write to
 * %APPDATA%\tarnvel\a\file answers FAILED; create the levels one write at a time. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_read_data_file(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* path,
                                                        size_t pathLength, uint8_t** bytes, size_t* size);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_write_data_file(tarnvel_broker* broker, tarnvel_call* call,
                                                         const wchar_t* path, size_t pathLength, const uint8_t* bytes,
                                                         size_t size);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_data_file_exists(tarnvel_broker* broker, tarnvel_call* call,
                                                          const wchar_t* path, size_t pathLength, int32_t* exists);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_delete_data_file(tarnvel_broker* broker, tarnvel_call* call,
                                                          const wchar_t* path, size_t pathLength);

TARNVEL_API int32_t TARNVEL_CALL tarnvel_copy_in(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* source,
                                                 size_t sourceLength, const wchar_t* destination,
                                                 size_t destinationLength);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_export(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* source,
                                                size_t sourceLength, const wchar_t* destination,
                                                size_t destinationLength);
TARNVEL_API int32_t TARNVEL_CALL tarnvel_shell_open(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* target,
                                                    size_t targetLength);

/* URL checks: at most four held by the broker at a time. */
enum { TARNVEL_URL_PENDING = 0, TARNVEL_URL_HTTP_STATUS = 1, TARNVEL_URL_ERROR = 2 };
TARNVEL_API int32_t TARNVEL_CALL tarnvel_start_url_check(tarnvel_broker* broker, tarnvel_call* call, const wchar_t* url,
                                                         size_t urlLength, uint32_t* id);
/* kind: TARNVEL_URL_; number: the HTTP status code or the Windows error. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_poll_url_check(tarnvel_broker* broker, tarnvel_call* call, uint32_t id,
                                                        int32_t* kind, uint32_t* number);

/* Message 3: TARNVEL_OK whenever the reply arrived; error 0 means the pipe was made and
 * handle is its client end inside the plug-in's process (-1 otherwise). */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_request_plugin_pipe(tarnvel_broker* broker, tarnvel_call* call,
                                                             uint32_t pluginPid, uint32_t* error, int64_t* handle);

/* Any op code with texts A, B, C as they are; status and text come back unchanged. */
TARNVEL_API int32_t TARNVEL_CALL tarnvel_raw_request(tarnvel_broker* broker, tarnvel_call* call, int32_t op,
                                                     int32_t hive, const wchar_t* a, size_t aLength, const wchar_t* b,
                                                     size_t bLength, const wchar_t* c, size_t cLength, int32_t* status,
                                                     wchar_t** text, size_t* length);

/* Names for messages and logs; never NULL ("?" for a number this version does not know). */
TARNVEL_API const char* TARNVEL_CALL tarnvel_call_error_name(int32_t error);
TARNVEL_API const char* TARNVEL_CALL tarnvel_status_name(int32_t status);
TARNVEL_API const char* TARNVEL_CALL tarnvel_start_failure_name(int32_t failure);

#ifdef __cplusplus
}
#endif

#endif /* TARNVEL_HOST_H */
