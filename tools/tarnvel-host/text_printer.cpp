// SPDX-License-Identifier: Apache-2.0
// The session for people: each line echoed, each reply under it, lists one name a line.
#include <cstdio>

#include "base/nul_list.h"
#include "tarnvel/protocol.h"
#include "tools/tarnvel-host/printer.h"

namespace tarnvel::host {

namespace {

using protocol::Code;
using protocol::RequestStatus;

class TextPrinter final : public Printer {
 public:
  void Started(const SessionStart& s) override {
    Out("broker " + Utf8(s.brokerExe) + " started, pid " + std::to_string(s.pid) + ", pipe \\\\.\\pipe\\" +
        Utf8(s.pipeName) + ", host pid " + std::to_string(s.hostPid) + (s.underDebugger ? ", under the debugger" : ""));
  }
  void BeginLine(const Text& line) override { Out("> " + Utf8(line)); }
  void EndLine() override {}
  void DebugLine(const std::string& line) override { Out("  debugger: " + line); }

  bool Reply(const Action& a, int32_t status, const Text& text, const StringReader& readString) override {
    std::string head = "  reply: " + std::to_string(status) + " " + StatusText(status);
    if (status != Code(RequestStatus::Success) || a.shape == ReplyShape::Plain) {
      Out(head + " " + Quoted(text));
      return true;
    }
    std::vector<Text> items = SplitNulTerminated(text);
    if (a.shape == ReplyShape::List) {
      Out(head + ", " + std::to_string(items.size()) + (items.size() == 1 ? " name" : " names"));
      for (const Text& t : items) Out("    " + Quoted(t));
      return true;
    }
    size_t pairs = (items.size() + 1) / 2;
    Out(head + ", " + std::to_string(pairs) + (pairs == 1 ? " value" : " values"));
    for (size_t i = 0; i < items.size(); i += 2) {
      std::string data = "(missing)";
      if (i + 1 < items.size()) {
        if (!items[i + 1].empty()) {
          data = Quoted(items[i + 1]);
        } else {
          std::optional<Text> asString;
          if (!readString(items[i], asString)) return false;
          data = asString ? Quoted(*asString) : std::string("(not a string)");
        }
      }
      Out("    " + Quoted(items[i]) + " = " + data);
    }
    return true;
  }

  void PluginPipe(uint32_t pid, int32_t error, int64_t handle) override {
    char buf[128];
    if (handle == -1) {
      snprintf(buf, sizeof buf, "  reply 4: error %ld, handle -1 (no pipe made)", static_cast<long>(error));
    } else {
      snprintf(buf, sizeof buf, "  reply 4: error %ld, handle 0x%llx in process %lu", static_cast<long>(error),
               static_cast<unsigned long long>(handle), static_cast<unsigned long>(pid));
    }
    Out(buf);
  }
  void Message(const std::string& message) override { Out("  " + message); }
  void NoReply() override { Out("  no reply (none expected)"); }
  void ConnectionEnded() override { Out("  the broker ended the connection"); }
  void Closed() override { Out("  host closed the pipe"); }
  void Error(const std::string& what) override { Out("  " + what); }
  void BrokerExited(uint32_t code) override { Out("broker exit code: " + std::to_string(code)); }
  void End(const SessionEnd&) override {}
};

}  // namespace

std::unique_ptr<Printer> MakeTextPrinter() { return std::make_unique<TextPrinter>(); }

}  // namespace tarnvel::host
