// SPDX-License-Identifier: Apache-2.0
#include "broker/command_line.h"

#include <limits>
#include "base/decimal.h"

namespace tarnvel::broker {

namespace {
const Text kIpcSwitch = u" --ipc=";
const Text kProcSwitch = u" --proc=";
const Text kPipePrefix = u"\\\\.\\pipe\\";
const Text kEffectivePolicySwitch = u" --effective-policy";
const Text kJsonForm = u"=json";

bool EndsWith(const Text& t, const Text& end) {
  return t.size() >= end.size() && t.compare(t.size() - end.size(), end.size(), end) == 0;
}
}  // namespace

int32_t ParseProcessId(const Text& text) {
  const int64_t v = ParseSigned64Decimal(text);
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

bool ParseBrokerCommandLine(const Text& commandLine, BrokerCommandLine& out) {
  if (commandLine.size() < kIpcSwitch.size()) return false;
  const size_t ipc = commandLine.find(kIpcSwitch);
  if (ipc == Text::npos) return false;
  const size_t nameStart = ipc + kIpcSwitch.size();
  // " --proc=" must follow " --ipc="; in the other order the line is refused.
  const size_t proc = commandLine.find(kProcSwitch, nameStart);
  if (proc == Text::npos) return false;
  out.pipePath = kPipePrefix + commandLine.substr(nameStart, proc - nameStart);
  out.hostProcessId = ParseProcessId(commandLine.substr(proc + kProcSwitch.size()));
  return true;
}

EffectivePolicyReport ParseEffectivePolicySwitch(const Text& commandLine) {
  if (commandLine.find(kIpcSwitch) != Text::npos) return EffectivePolicyReport::None;
  Text line = commandLine;
  while (!line.empty() && line.back() == u' ') line.pop_back();
  if (EndsWith(line, kEffectivePolicySwitch)) return EffectivePolicyReport::Text;
  if (EndsWith(line, kEffectivePolicySwitch + kJsonForm)) return EffectivePolicyReport::Json;
  return EffectivePolicyReport::None;
}

}  // namespace tarnvel::broker
