// SPDX-License-Identifier: Apache-2.0
// The decision path of a broker request, as pure code: which policy judges which text, in
// which order, and which operation then runs on the value that was judged. Every byte
// here came from the host and may be hostile.
//
// Operations are reached through RequestOperations: the system's own behind it in the
// broker, recording fakes in tests. Registry and data-file operations take a judged value
// that only its check makes, so an act without its judgement cannot be written; shell
// open, copy-in, export and the URL checks judge their own texts inside the operation.
#pragma once
#include <cstdint>
#include <vector>
#include "base/text.h"
#include "registry/key_policy.h"
#include "requests/request_ops.h"

// A plug-in data-file path as the data-folder check judged it against one data folder.
class JudgedDataPath {
 public:
  [[nodiscard]] PolicyVerdict verdict() const { return verdict_; }
  [[nodiscard]] bool allowed() const { return verdict_ == Allow; }
  const Text& path() const { return path_; }  // as carried

 private:
  JudgedDataPath(const Text& path, PolicyVerdict verdict) : path_(path), verdict_(verdict) {}
  friend JudgedDataPath JudgeDataPath(const Text& path, const Text& dataFolder);
  Text path_;
  PolicyVerdict verdict_;
};
[[nodiscard]] JudgedDataPath JudgeDataPath(const Text& path, const Text& dataFolder);

// A shell-open target as CheckShellTarget judged it.
class JudgedShellTarget {
 public:
  [[nodiscard]] PolicyVerdict verdict() const { return verdict_; }
  [[nodiscard]] bool allowed() const { return verdict_ == Allow; }
  const Text& target() const { return target_; }

 private:
  JudgedShellTarget(const Text& target, PolicyVerdict verdict) : target_(target), verdict_(verdict) {}
  friend JudgedShellTarget JudgeShellTarget(const Text& target);
  Text target_;
  PolicyVerdict verdict_;
};
[[nodiscard]] JudgedShellTarget JudgeShellTarget(const Text& target);

// A URL to check as CheckHttpUrl judged it.
class JudgedUrl {
 public:
  [[nodiscard]] PolicyVerdict verdict() const { return verdict_; }
  [[nodiscard]] bool allowed() const { return verdict_ == Allow; }
  const Text& url() const { return url_; }

 private:
  JudgedUrl(const Text& url, PolicyVerdict verdict) : url_(url), verdict_(verdict) {}
  friend JudgedUrl JudgeUrl(const Text& url);
  Text url_;
  PolicyVerdict verdict_;
};
[[nodiscard]] JudgedUrl JudgeUrl(const Text& url);

// A copy into the local temporary folder (copy-in) or out of it (export), judged on exactly
// the two paths the copy then uses (the long-path-expanded one included).
class JudgedCopy {
 public:
  [[nodiscard]] PolicyVerdict verdict() const { return verdict_; }
  [[nodiscard]] bool allowed() const { return verdict_ == Allow; }
  const Text& source() const { return source_; }
  const Text& destination() const { return destination_; }
  // The temporary folder the check judged the copy's inner side against.
  const Text& tempFolder() const { return tempFolder_; }

 private:
  JudgedCopy(const Text& source, const Text& destination, const Text& tempFolder, PolicyVerdict verdict)
      : source_(source), destination_(destination), tempFolder_(tempFolder), verdict_(verdict) {}
  friend JudgedCopy JudgeCopyIn(const Text& source, const Text& expandedDestination, const Text& tempFolder);
  friend JudgedCopy JudgeExport(const Text& expandedSource, const Text& destination, const Text& tempFolder);
  Text source_;
  Text destination_;
  Text tempFolder_;
  PolicyVerdict verdict_;
};
[[nodiscard]] JudgedCopy JudgeCopyIn(const Text& source, const Text& expandedDestination, const Text& tempFolder);
[[nodiscard]] JudgedCopy JudgeExport(const Text& expandedSource, const Text& destination, const Text& tempFolder);

// Writes "<prefix><verdict text>\n" as one debugger line.
void WriteRefusalLine(const char* prefix, PolicyVerdict verdict);

class RequestOperations {
 public:
  virtual ~RequestOperations() = default;

  // The roaming application-data folder, looked up afresh; empty on failure.
  virtual Text DataFolder() = 0;

  // Registry: false for "not found" (reads) or "failed" (writes). Value names are checked
  // before these run.
  virtual bool ReadString(const JudgedKey& key, const Text& name, Text& out) = 0;
  virtual bool WriteString(const JudgedKey& key, const Text& name, const Text& data) = 0;
  virtual bool ReadDword(const JudgedKey& key, const Text& name, uint32_t& out) = 0;
  virtual bool WriteDword(const JudgedKey& key, const Text& name, uint32_t value) = 0;
  virtual bool ReadQword(const JudgedKey& key, const Text& name, uint64_t& out) = 0;
  virtual bool WriteQword(const JudgedKey& key, const Text& name, uint64_t value) = 0;
  virtual bool DeleteValue(const JudgedKey& key, const Text& name) = 0;
  virtual bool DeleteKey(const JudgedKey& key) = 0;
  virtual bool DeleteKeyTree(const JudgedKey& key) = 0;
  virtual bool KeyExists(const JudgedKey& key) = 0;
  virtual bool ListSubkeys(const JudgedKey& key, std::vector<Text>& names) = 0;
  virtual bool ListValues(const JudgedKey& key, std::vector<Text>& namesAndData) = 0;
  virtual bool CopyKeyTree(const JudgedKey& source, const JudgedKey& destination) = 0;

  // Data files.
  virtual RequestStatus ReadDataFile(const JudgedDataPath& path, Text& reply) = 0;
  virtual RequestStatus WriteDataFile(const JudgedDataPath& path, const Text& hexData) = 0;
  virtual RequestStatus DataFileExists(const JudgedDataPath& path) = 0;
  virtual RequestStatus DeleteDataFile(const JudgedDataPath& path) = 0;

  // Operations that judge their own texts (and write their own refusal lines).
  virtual RequestStatus ShellOpen(const Text& target) = 0;
  virtual RequestStatus CopyFileIn(const Text& source, const Text& destination) = 0;
  virtual RequestStatus ExportFile(const Text& source, const Text& destination) = 0;
  virtual RequestStatus StartHttpCheck(const Text& url, Text& reply) = 0;
  virtual RequestStatus PollHttpCheck(const Text& idText, Text& reply) = 0;
};

// Decides in a fixed order: ping; the ops that judge their own inputs (shell open, URL
// check start and poll, file copy, file export, copy tree); then the general policy stage
// (data-folder check for ops 14-17, registry key check for every other code, unknown ones
// included) before the op code is even looked at; then the operation.
[[nodiscard]] RequestStatus DispatchRequest(RequestOperations& ops, int32_t opCode, int32_t hiveSelector,
                                            const Text& textA, const Text& textB, const Text& textC, Text& replyText);
