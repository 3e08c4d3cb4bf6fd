// SPDX-License-Identifier: Apache-2.0
// tarnvel-host's command line: the options, and the session lines it names (as words, from
// script files, or standard input's place among them), each checked before anything starts.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sdk/raw/raw_client_win.h"
#include "tools/tarnvel-host/session.h"

namespace tarnvel::host {

// The exit status people script against (also in --help).
constexpr int ExitOk = 0;
constexpr int ExitRequestFailed = 1;  // a reply had a status other than Success
constexpr int ExitUsage = 2;
constexpr int ExitMisbehaved = 3;  // the broker could not start, or misbehaved

struct Options {
  std::wstring brokerExe;
  std::wstring pipeName;
  DWORD hostPid = 0;
  DWORD timeoutMs = 5000;
  DWORD quietMs = 300;
  bool debugLines = false;
  bool json = false;  // one JSON object per session line and one for the end
  ipc::PointerWidth handleWidth = ipc::NativePointerWidth;
};

struct Line {
  Text text;
  Action action;
};

// Adds the session line `text` (nothing for a blank line or a comment); false with a
// readable error for a line that is not one.
bool AddLine(const Text& text, std::vector<Line>& lines, std::string& error);

struct CommandLine {
  Options options;
  std::vector<Line> lines;
  // Lines before this index come before standard input's when "--script -" is given.
  size_t stdinAt = SIZE_MAX;
};

// The command line read whole, with the broker and pipe chosen where none was given; or
// the exit status when the tool is done without a session (--help, --version, a usage
// error, already reported on standard error).
std::optional<int> ParseCommandLine(int argc, wchar_t** argv, CommandLine& out);

}  // namespace tarnvel::host
