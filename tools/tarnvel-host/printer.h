// SPDX-License-Identifier: Apache-2.0
// How tarnvel-host shows a session: as lines for people (TextPrinter) or as one JSON object
// per session line and one for the end (JsonPrinter). The session runner says what
// happened; a printer only decides how it looks. Pure: no Win32 here.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "ipc/param.h"
#include "tools/tarnvel-host/session.h"

namespace tarnvel::host {

// A message as the tool shows it: "message <id>: <type>:<value> ...".
std::string MessageText(int32_t id, const std::vector<ipc::Param>& params);

// Reads a listed value as a string, to tell an empty string from a value of another type
// (the listing gives no data for either): the text, or none for another type. False when
// the broker misbehaved on that read.
using StringReader = std::function<bool(const Text& name, std::optional<Text>& value)>;

struct SessionStart {
  Text brokerExe;
  uint32_t pid = 0;
  Text pipeName;
  uint32_t hostPid = 0;
  bool underDebugger = false;
};

struct SessionEnd {
  Text brokerExe;
  uint32_t pid = 0;
  Text pipeName;
  std::optional<uint32_t> brokerExitCode;  // none when the broker had to be ended
  int exitCode = 0;
};

class Printer {
 public:
  virtual ~Printer() = default;
  virtual void Started(const SessionStart& start) = 0;
  virtual void BeginLine(const Text& line) = 0;
  virtual void EndLine() = 0;
  virtual void DebugLine(const std::string& line) = 0;
  // A request's reply. False when the broker misbehaved on a read the form needed.
  virtual bool Reply(const Action& request, int32_t status, const Text& text, const StringReader& readString) = 0;
  virtual void PluginPipe(uint32_t pid, int32_t error, int64_t handle) = 0;
  virtual void Message(const std::string& message) = 0;
  virtual void NoReply() = 0;
  virtual void ConnectionEnded() = 0;
  virtual void Closed() = 0;
  virtual void Error(const std::string& what) = 0;
  virtual void BrokerExited(uint32_t code) = 0;
  virtual void End(const SessionEnd& end) = 0;
};

// Both write to standard output, each line flushed as it is made.
std::unique_ptr<Printer> MakeTextPrinter();
std::unique_ptr<Printer> MakeJsonPrinter();

// One line on standard output, flushed.
void Out(const std::string& line);

}  // namespace tarnvel::host
