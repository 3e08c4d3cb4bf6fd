/* SPDX-License-Identifier: Apache-2.0 */
/* A host application in miniature, in C, against TarnvelHost.dll from the installed SDK: starts
 * the broker, keeps a launch counter, shows a refusal with the broker's own reason, and shuts
 * down. Usage: host-session-c [PATH-OF-TarnvelBroker.exe]; without one, the broker beside
 * TarnvelHost.dll. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <tarnvel/host.h>

static const wchar_t key[] = L"Software\\Tarnvel\\HostSessionC";
#define KEY key, sizeof key / sizeof key[0] - 1

int wmain(int argc, wchar_t** argv) {
  const wchar_t* exe = argc > 1 ? argv[1] : NULL;
  tarnvel_options options = {0};
  tarnvel_call call = {0};
  tarnvel_shutdown_result end = {0};
  tarnvel_broker* broker = tarnvel_broker_create();
  uint32_t launches = 0;
  int32_t r, good = 1;
  const char* line;
  uint32_t i;

  options.size = sizeof options;
  options.flags = TARNVEL_OPTION_DEBUG_LINES; /* each call brings the broker's lines back */
  options.exe = exe;
  options.exeLength = exe != NULL ? wcslen(exe) : 0;
  r = broker != NULL ? tarnvel_broker_start(broker, &options) : TARNVEL_START_OUT_OF_MEMORY;
  if (r != TARNVEL_START_OK) {
    printf("cannot start the broker: %s\n", tarnvel_start_failure_name(r));
    tarnvel_broker_destroy(broker);
    return 1;
  }

  /* A missing value reads as NOT_FOUND: the counter starts at 0. */
  r = tarnvel_read_dword(broker, NULL, TARNVEL_HIVE_CURRENT_USER, KEY, L"launches", 8, &launches);
  good &= r == TARNVEL_OK || r == TARNVEL_NOT_FOUND;
  good &= tarnvel_write_dword(broker, NULL, TARNVEL_HIVE_CURRENT_USER, KEY, L"launches", 8, launches + 1) == TARNVEL_OK;
  good &= tarnvel_read_dword(broker, NULL, TARNVEL_HIVE_CURRENT_USER, KEY, L"launches", 8, &launches) == TARNVEL_OK;
  printf("launches: %u\n", launches);

  /* Refused by policy: the local-machine hive is read-only. The reason comes with the call. */
  call.size = sizeof call;
  r = tarnvel_write_string(broker, &call, TARNVEL_HIVE_LOCAL_MACHINE, KEY, L"x", 1, L"y", 1);
  printf("write to HKLM: %s\n", r < 0 ? tarnvel_call_error_name(-r) : tarnvel_status_name(r));
  for (line = call.debugLines, i = 0; i < call.debugLineCount; ++i, line += strlen(line) + 1) {
    printf("  broker says: %s\n", line);
  }
  good &= r == TARNVEL_DENIED && call.debugLineCount == 1;
  tarnvel_free(call.debugLines);

  good &= tarnvel_delete_tree(broker, NULL, TARNVEL_HIVE_CURRENT_USER, KEY) == TARNVEL_OK;

  end.size = sizeof end;
  tarnvel_broker_shutdown(broker, 0, &end);
  printf("broker %s, exit code %u\n", end.exited ? "exited" : "was terminated", end.exitCode);
  good &= end.exited && end.exitCode == 0;
  tarnvel_broker_destroy(broker);
  printf("%s\n", good ? "session ok" : "session FAILED");
  return good ? 0 : 1;
}
