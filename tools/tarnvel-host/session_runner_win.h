// SPDX-License-Identifier: Apache-2.0
// Runs a tarnvel-host session: starts the broker, connects as its host, runs each line in
// turn (standard input's lines at their place), shows everything through one printer and
// waits for the broker to exit. Returns the tool's exit status.
#pragma once
#include "tools/tarnvel-host/options_win.h"

namespace tarnvel::host {

int RunSession(const CommandLine& commandLine);

}  // namespace tarnvel::host
