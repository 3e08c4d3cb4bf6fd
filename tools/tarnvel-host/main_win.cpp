// SPDX-License-Identifier: Apache-2.0
// tarnvel-host: a host application in miniature. Starts a broker, connects as its host,
// runs a session of requests written in plain words and prints every reply (see --help).
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "tools/tarnvel-host/options_win.h"
#include "tools/tarnvel-host/session_runner_win.h"

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);

  tarnvel::host::CommandLine commandLine;
  if (const std::optional<int> done = tarnvel::host::ParseCommandLine(argc, argv, commandLine)) return *done;
  return tarnvel::host::RunSession(commandLine);
}
