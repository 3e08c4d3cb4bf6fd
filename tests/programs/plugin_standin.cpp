// SPDX-License-Identifier: Apache-2.0
// Plays a sandboxed plug-in that received one end of a private pipe from the broker.
// Talks with the test over its standard handles, one line each way:
//   out: "pid <process id>" first, when started with --say-pid (so that a host can ask
//        the broker for a pipe for this process)
//   in:  the handle value (decimal) that reply 4 carried, valid in this process
//   out: "server-end" once the handle is the server end of a one-instance pipe
//   out: "connected" once the broker's client end is connected to it
//   in:  any line, sent after the test ended the host's connection
//   out: "broken <error>" once the pipe reports the broker's end gone
// Exit code 0 when every step held; otherwise the number of the step that failed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/unique_handle_win.h"

using namespace tarnvel;

namespace {

std::string ReadLine() {
  std::string line;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char c = 0;
  DWORD n = 0;
  while (ReadFile(in, &c, 1, &n, nullptr) && n == 1 && c != '\n') line.push_back(c);
  return line;
}

void Say(const char* text) {
  DWORD n = 0;
  std::string line = std::string(text) + "\n";
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
}

// PeekNamedPipe works on a server end only while a client is connected.
bool PeerConnected(HANDLE pipe, DWORD& error) {
  DWORD avail = 0;
  if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr)) return true;
  error = GetLastError();
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--say-pid") {
    char buf[32];
    snprintf(buf, sizeof buf, "pid %lu", static_cast<unsigned long>(GetCurrentProcessId()));
    Say(buf);
  }
  std::string value = ReadLine();
  if (value.empty()) return 1;
  UniqueHandle owned(reinterpret_cast<HANDLE>(static_cast<intptr_t>(std::strtoll(value.c_str(), nullptr, 10))));
  const HANDLE pipe = owned.get();

  DWORD flags = 0, instances = 0;
  if (GetFileType(pipe) != FILE_TYPE_PIPE || !GetNamedPipeInfo(pipe, &flags, nullptr, nullptr, &instances) ||
      (flags & PIPE_SERVER_END) == 0 || instances != 1) {
    Say("not-a-server-end");
    return 2;
  }
  Say("server-end");

  // The broker connects only after it has sent reply 4; give it a little while.
  DWORD error = 0;
  bool connected = false;
  for (int i = 0; i < 250 && !(connected = PeerConnected(pipe, error)); ++i) Sleep(20);
  if (!connected) {
    char buf[64];
    snprintf(buf, sizeof buf, "not-connected %lu", static_cast<unsigned long>(error));
    Say(buf);
    return 3;
  }
  if (ConnectNamedPipe(pipe, nullptr) || GetLastError() != ERROR_PIPE_CONNECTED) {
    Say("connect-did-not-report-connected");
    return 4;
  }
  Say("connected");

  ReadLine();
  for (int i = 0; i < 250; ++i) {
    if (!PeerConnected(pipe, error)) {
      char buf[64];
      snprintf(buf, sizeof buf, "broken %lu", static_cast<unsigned long>(error));
      Say(buf);
      return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? 0 : 5;
    }
    Sleep(20);
  }
  Say("still-connected");
  return 6;
}
