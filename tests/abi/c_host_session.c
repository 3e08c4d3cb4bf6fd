/* SPDX-License-Identifier: Apache-2.0 */
/* A host written in C99 against TarnvelHost.dll: one session through the C interface alone,
 * with its ownership rules, record sizes and refusals of bad arguments. Prints one line per
 * failed check and exits with the number of them.
 * Usage: c_host_session BROKER-EXE   (a Unix path is taken as Wine's Z: drive) */
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <tarnvel/host.h>

static int failures = 0;

#define CHECK(cond)                                  \
  do {                                               \
    if (!(cond)) {                                   \
      printf("FAIL line %d: %s\n", __LINE__, #cond); \
      ++failures;                                    \
    }                                                \
  } while (0)

static int SameText(const wchar_t* text, size_t length, const wchar_t* want) {
  return text != NULL && length == wcslen(want) && wmemcmp(text, want, length) == 0 && text[length] == L'\0';
}

int main(int argc, char** argv) {
  wchar_t exe[MAX_PATH * 2] = L"";
  wchar_t key[128], appData[MAX_PATH], path[MAX_PATH * 2];
  tarnvel_options options;
  tarnvel_call call;
  tarnvel_broker* broker;
  wchar_t* text = NULL;
  size_t length = 99, count = 99, i;
  uint32_t dword = 7;
  int32_t exists = 7, status = 0;
  uint8_t bytes[256];
  uint8_t* back = NULL;
  tarnvel_shutdown_result end;
  tarnvel_broker_info info;

  if (argc < 2) {
    printf("usage: c_host_session BROKER-EXE\n");
    return 2;
  }
  if (argv[1][0] == '/') wcscpy(exe, L"Z:");
  MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, exe + wcslen(exe), MAX_PATH);
  for (i = 0; exe[i] != L'\0'; ++i) {
    if (exe[i] == L'/') exe[i] = L'\\';
  }
  swprintf(key, 128, L"Software\\Tarnvel\\c-host-%lu", (unsigned long)GetCurrentProcessId());

  CHECK(tarnvel_version() == TARNVEL_HOST_VERSION);
  CHECK(strcmp(tarnvel_status_name(TARNVEL_DENIED), "Denied") == 0);
  CHECK(strcmp(tarnvel_call_error_name(TARNVEL_CALL_TIMED_OUT), "no reply within the time-out") == 0);
  CHECK(strcmp(tarnvel_call_error_name(-1), "?") == 0);

  broker = tarnvel_broker_create();
  CHECK(broker != NULL);
  if (broker == NULL) return 1;

  /* Refusals: nothing is started, and out-parameters are set even so. */
  memset(&call, 0xab, sizeof call);
  call.size = 4; /* shorter than any version's record: left untouched */
  CHECK(tarnvel_ping(broker, &call, &text, &length) == -TARNVEL_CALL_INVALID_ARGUMENT);
  CHECK(call.error == (int32_t)0xabababab);
  CHECK(tarnvel_ping(broker, NULL, NULL, &length) == -TARNVEL_CALL_INVALID_ARGUMENT);
  CHECK(tarnvel_ping(NULL, NULL, &text, &length) == -TARNVEL_CALL_INVALID_ARGUMENT && text == NULL && length == 0);
  CHECK(tarnvel_ping(broker, NULL, &text, &length) == -TARNVEL_CALL_NOT_STARTED);
  memset(&options, 0, sizeof options);
  options.size = 8;
  CHECK(tarnvel_broker_start(broker, &options) == TARNVEL_START_BAD_OPTIONS);
  options.size = sizeof options;
  options.exe = exe;
  /* The length counts, not the NUL: no exe is the broker beside the DLL, and none is there. */
  options.exeLength = 0;
  CHECK(tarnvel_broker_start(broker, &options) == TARNVEL_START_CANNOT_CREATE_PROCESS);
  memset(&info, 0, sizeof info);
  info.size = sizeof info;
  CHECK(tarnvel_broker_get_info(broker, &info) == 0 && info.startFailure == TARNVEL_START_CANNOT_CREATE_PROCESS);
  CHECK(info.windowsError == ERROR_FILE_NOT_FOUND && info.pid == 0);

  /* A failed start does not use the handle up; a good one does, until the shutdown. */
  options.exeLength = wcslen(exe);
  options.flags = TARNVEL_OPTION_DEBUG_LINES;
  options.connectTimeoutMs = 10000;
  options.callTimeoutMs = 10000;
  CHECK(tarnvel_broker_start(broker, &options) == TARNVEL_START_OK);
  CHECK(tarnvel_broker_start(broker, &options) == TARNVEL_START_ALREADY_STARTED);
  CHECK(tarnvel_broker_get_info(broker, &info) == 0 && info.startFailure == TARNVEL_START_ALREADY_STARTED);
  CHECK(info.windowsError == 0 && info.pid != 0);

  memset(&call, 0, sizeof call);
  call.size = sizeof call;
  CHECK(tarnvel_ping(broker, &call, &text, &length) == TARNVEL_OK);
  CHECK(SameText(text, length, L"pong"));
  CHECK(call.error == TARNVEL_CALL_NONE && call.status == 0 && call.debugLines == NULL);
  tarnvel_free(text);

  /* Texts are counted, not terminated: only the first 8 units of the value are written. */
  CHECK(tarnvel_write_string(broker, NULL, TARNVEL_HIVE_CURRENT_USER, key, wcslen(key), L"greeting", 8,
                             L"h\x00e9llo, world", 5) == TARNVEL_OK);
  CHECK(tarnvel_read_string(broker, NULL, TARNVEL_HIVE_CURRENT_USER, key, wcslen(key), L"greeting", 8, &text,
                            &length) == TARNVEL_OK);
  CHECK(SameText(text, length, L"h\x00e9llo"));
  tarnvel_free(text);
  CHECK(tarnvel_write_dword(broker, NULL, TARNVEL_HIVE_CURRENT_USER, key, wcslen(key), L"n", 1, 4294967295u) ==
        TARNVEL_OK);
  CHECK(tarnvel_read_dword(broker, NULL, TARNVEL_HIVE_CURRENT_USER, key, wcslen(key), L"n", 1, &dword) == TARNVEL_OK);
  CHECK(dword == 4294967295u);

  /* Lists keep the protocol's form: each element followed by one U+0000. */
  swprintf(path, MAX_PATH * 2, L"%ls\\b", key);
  CHECK(tarnvel_write_dword(broker, NULL, TARNVEL_HIVE_CURRENT_USER, path, wcslen(path), L"x", 1, 1) == TARNVEL_OK);
  swprintf(path, MAX_PATH * 2, L"%ls\\a", key);
  CHECK(tarnvel_write_dword(broker, NULL, TARNVEL_HIVE_CURRENT_USER, path, wcslen(path), L"x", 1, 1) == TARNVEL_OK);
  CHECK(tarnvel_list_keys(broker, NULL, TARNVEL_HIVE_CURRENT_USER, key, wcslen(key), &text, &length, &count) ==
        TARNVEL_OK);
  CHECK(count == 2 && length == 4 && text != NULL && wmemcmp(text, L"a\0b\0", 4) == 0);
  tarnvel_free(text);
  CHECK(tarnvel_list_values(broker, NULL, TARNVEL_HIVE_CURRENT_USER, key, wcslen(key), &text, &length, &count) ==
        TARNVEL_OK);
  CHECK(count == 2);
  tarnvel_free(text);

  /* A missing key is a value, with the broker's own status kept in the record. */
  swprintf(path, MAX_PATH * 2, L"%ls\\missing", key);
  CHECK(tarnvel_key_exists(broker, &call, TARNVEL_HIVE_CURRENT_USER, path, wcslen(path), &exists) == TARNVEL_OK);
  CHECK(exists == 0 && call.status == TARNVEL_NOT_FOUND);

  /* A refusal explains itself in the call's debugger lines. */
  CHECK(tarnvel_read_string(broker, &call, TARNVEL_HIVE_CURRENT_USER, L"software\\elsewhere", 18, L"x", 1, &text,
                            &length) == TARNVEL_DENIED);
  CHECK(text == NULL && length == 0);
  CHECK(call.debugLineCount == 1 && call.debugLines != NULL &&
        call.debugLinesSize == sizeof "[TarnvelBroker] denied: outside Tarnvel subtree" &&
        strcmp(call.debugLines, "[TarnvelBroker] denied: outside Tarnvel subtree") == 0);
  tarnvel_free(call.debugLines);

  CHECK(tarnvel_raw_request(broker, NULL, 0, 0, key, wcslen(key), NULL, 0, NULL, 0, &status, &text, &length) ==
        TARNVEL_BAD_ARGUMENT);
  CHECK(status == 4 && text != NULL && length == 0 && text[0] == L'\0');
  tarnvel_free(text);

  /* Data files: bytes in, bytes out. */
  GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH);
  swprintf(path, MAX_PATH * 2, L"%ls\\tarnvel", appData);
  CreateDirectoryW(path, NULL);
  swprintf(path, MAX_PATH * 2, L"%ls\\tarnvel\\c-host-%lu.bin", appData, (unsigned long)GetCurrentProcessId());
  for (i = 0; i < sizeof bytes; ++i) bytes[i] = (uint8_t)(255 - i);
  CHECK(tarnvel_write_data_file(broker, NULL, path, wcslen(path), bytes, sizeof bytes) == TARNVEL_OK);
  CHECK(tarnvel_read_data_file(broker, NULL, path, wcslen(path), &back, &length) == TARNVEL_OK);
  CHECK(back != NULL && length == sizeof bytes && memcmp(back, bytes, sizeof bytes) == 0);
  tarnvel_free(back);
  CHECK(tarnvel_delete_data_file(broker, NULL, path, wcslen(path)) == TARNVEL_OK);
  CHECK(tarnvel_data_file_exists(broker, NULL, path, wcslen(path), &exists) == TARNVEL_OK && exists == 0);

  CHECK(tarnvel_delete_tree(broker, NULL, TARNVEL_HIVE_CURRENT_USER, key, wcslen(key)) == TARNVEL_OK);

  memset(&end, 0, sizeof end);
  end.size = sizeof end;
  CHECK(tarnvel_broker_shutdown(broker, 0, &end) == 0);
  CHECK(end.exited == 1 && end.terminated == 0 && end.exitCode == 0);
  CHECK(tarnvel_ping(broker, NULL, &text, &length) == -TARNVEL_CALL_NOT_STARTED && text == NULL);
  tarnvel_broker_destroy(broker);

  printf("c host session: %d failed checks\n", failures);
  return failures;
}
