// SPDX-License-Identifier: Apache-2.0
// The session for scripts: one JSON object per session line, with the debugger lines
// written meanwhile, and one for the end.
#include "base/nul_list.h"
#include "tarnvel/protocol.h"
#include "tools/tarnvel-host/json.h"
#include "tools/tarnvel-host/printer.h"

namespace tarnvel::host {

namespace {

using protocol::Code;
using protocol::RequestStatus;

class JsonPrinter final : public Printer {
 public:
  void Started(const SessionStart&) override {}
  void BeginLine(const Text& line) override {
    record_ = JsonObject();
    record_.String("line", line);
    std::vector<Text> words;
    std::string unused;
    if (SplitWords(line, words, unused) && !words.empty()) record_.String("word", words[0]);
  }
  void EndLine() override {
    record_.Raw("debugLines", JsonArray(debug_));
    debug_.clear();
    Out(record_.Json());
  }
  void DebugLine(const std::string& line) override { debug_.push_back(JsonStringFromBytes(line)); }

  // Its numbers and names, then its text, or its list of names, or its values as name and
  // data (a value that is not a string has empty data, as listed).
  bool Reply(const Action& a, int32_t status, const Text& text, const StringReader&) override {
    record_.Number("op", a.op).Number("status", status).Bytes("statusName", StatusText(status));
    if (status != Code(RequestStatus::Success) || a.shape == ReplyShape::Plain) {
      record_.String("text", text);
      return true;
    }
    std::vector<Text> items = SplitNulTerminated(text);
    std::vector<std::string> values;
    if (a.shape == ReplyShape::List) {
      for (const Text& t : items) values.push_back(JsonString(t));
      record_.Raw("list", JsonArray(values));
      return true;
    }
    for (size_t i = 0; i < items.size(); i += 2) {
      JsonObject pair;
      pair.String("name", items[i]).Raw("data", i + 1 < items.size() ? JsonString(items[i + 1]) : "null");
      values.push_back(pair.Json());
    }
    record_.Raw("values", JsonArray(values));
    return true;
  }

  void PluginPipe(uint32_t pid, int32_t error, int64_t handle) override {
    record_.Number("pid", pid).Number("error", error).Number("handle", handle);
  }
  void Message(const std::string& message) override { record_.Bytes("message", message); }
  void NoReply() override { record_.Raw("reply", "\"none\""); }
  void ConnectionEnded() override { record_.Raw("reply", "\"connection ended\""); }
  void Closed() override { record_.Raw("closed", "true"); }
  void Error(const std::string& what) override { record_.Bytes("error", what); }
  void BrokerExited(uint32_t) override {}
  // Which broker ran, how it ended, and the tool's own status.
  void End(const SessionEnd& e) override {
    JsonObject end;
    end.Bool("end", true)
        .String("broker", e.brokerExe)
        .Number("pid", e.pid)
        .String("pipe", e.pipeName)
        .Raw("brokerExitCode", e.brokerExitCode ? std::to_string(*e.brokerExitCode) : "null")
        .Number("exitCode", e.exitCode)
        .Raw("debugLines", JsonArray(debug_));
    Out(end.Json());
  }

 private:
  JsonObject record_;
  std::vector<std::string> debug_;  // JSON strings
};

}  // namespace

std::unique_ptr<Printer> MakeJsonPrinter() { return std::make_unique<JsonPrinter>(); }

}  // namespace tarnvel::host
