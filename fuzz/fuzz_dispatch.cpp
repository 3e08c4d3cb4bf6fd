// SPDX-License-Identifier: Apache-2.0
// Random requests through the dispatcher over recording operations. Checks: no operation
// ever runs without an Allow verdict for exactly the texts it receives (judged again here,
// apart from the dispatcher), an operation runs only for its own op code, a refusal runs
// nothing, and at most one operation runs per request.
// Input: 4 bytes op code, 1 byte hive, then UTF-16LE texts A, B, C split by U+FFFF.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "registry/key_policy.h"
#include "requests/dispatcher.h"
#include "requests/path_policy.h"
#include "support/recording_operations.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// The one operation each op code may reach.
const char* OperationOf(int32_t op) {
  static const char* const kNames[] = {
      nullptr,         "ReadString",    "WriteString",    "ReadDword",      "WriteDword", "DeleteValue", "DeleteKey",
      "DeleteKeyTree", "KeyExists",     "ListSubkeys",    "ListValues",     nullptr,      "ReadQword",   "WriteQword",
      "ReadDataFile",  "WriteDataFile", "DataFileExists", "DeleteDataFile", "ShellOpen",  nullptr,       "CopyKeyTree",
      "CopyFileIn",    "ExportFile",    "StartHttpCheck", "PollHttpCheck"};
  return op >= 0 && op <= 24 ? kNames[op] : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  int32_t op = 0;
  std::memcpy(&op, data, 4);
  if ((data[4] & 0x80) == 0) op &= 0x1F;  // mostly codes near the table
  const int32_t hive = static_cast<int32_t>(data[4] & 0x7F) - 2;
  std::vector<Text> texts(1);
  for (size_t i = 5; i + 1 < size; i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0xFFFF && texts.size() < 3) {
      texts.emplace_back();
    } else {
      texts.back().push_back(c);
    }
  }
  texts.resize(3);
  const Text& a = texts[0];
  const Text& b = texts[1];

  RecordingOperations ops;
  Text reply;
  const RequestStatus status = DispatchRequest(ops, op, hive, a, b, texts[2], reply);

  Check(ops.calls.size() <= 1);
  if (status == RequestStatus::Denied && op != 18 && op != 21 && op != 22 && op != 23) Check(ops.calls.empty());
  if (ops.calls.empty()) return 0;
  const RecordedCall& call = ops.calls[0];
  const char* expected = OperationOf(op);
  Check(expected != nullptr && call.name == expected);
  Check(!call.texts.empty() && call.texts[0] == a);
  for (PolicyVerdict v : call.judged) Check(v == Allow);

  if (op == 20) {
    Check(call.texts.size() == 2 && call.texts[1] == b && call.hives == std::vector<int32_t>{hive, hive});
    Check(CheckRegistryKey(hive, a, false) == Allow && CheckRegistryKey(hive, b, true) == Allow);
  } else if (op >= 14 && op <= 17) {
    Check(call.judged.size() == 1 && CheckAppDataPath(a, ops.dataFolder) == Allow);
  } else if (op == 18 || op >= 21) {
    Check(call.judged.empty());  // these judge their own texts
  } else {
    Check(call.judged.size() == 1 && call.hives == std::vector<int32_t>{hive});
    Check(CheckRegistryKey(hive, a, IsWriteOp(op)) == Allow);
    const bool valueOp = op <= 5 || op == 12 || op == 13;
    if (valueOp) Check(IsValidValueName(b) && call.texts.size() >= 2 && call.texts[1] == b);
  }
  return 0;
}
