// SPDX-License-Identifier: Apache-2.0
// Random requests through the dispatcher over recording operations. Checks, for every op
// code alike: no operation ever runs on a text that its policy, judged again here apart from
// the dispatcher, does not allow, nor on any text but the one judged; an operation runs only
// for its own op code, a refusal runs nothing, and at most one operation runs per request.
// Input: 4 bytes op code, 1 byte hive, then UTF-16LE texts A, B, C split by U+FFFF.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "base/hex.h"
#include "registry/key_policy.h"
#include "requests/dispatcher.h"
#include "requests/path_policy.h"
#include "requests/url_check.h"
#include "support/recording_operations.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

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

void CheckOneRequest(int32_t op, int32_t hive, const std::vector<Text>& texts);

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
  // The input's own op code, then the same texts under every op code of the table: texts
  // that one op allows are the likeliest to show another op judging them wrongly.
  CheckOneRequest(op, hive, texts);
  for (const tarnvel::protocol::OpInfo& info : tarnvel::protocol::kOps) CheckOneRequest(Code(info.op), hive, texts);
  return 0;
}

namespace {

void CheckOneRequest(int32_t op, int32_t hive, const std::vector<Text>& texts) {
  const Text& a = texts[0];
  const Text& b = texts[1];

  RecordingOperations ops;
  ipc::ReplyBody reply;
  const RequestInputs in{op, hive, a, b, texts[2], std::nullopt};
  const RequestStatus status = DispatchRequest(ops, in, reply);

  Check(ops.calls.size() <= 1);
  Check(!reply.source);
  if (status == RequestStatus::Denied) Check(ops.calls.empty());
  if (ops.calls.empty()) return;
  const RecordedCall& call = ops.calls[0];
  const char* expected = OperationOf(op);
  Check(tarnvel::protocol::FindOp(op) != nullptr);
  Check(expected != nullptr && call.name == expected);

  // Every operation's texts are judged again here, apart from the dispatcher: none may
  // run on a text its policy did not allow, nor on any text but the one judged.
  if (op == 20) {
    Check(call.texts == std::vector<Text>{CanonicalRegistryKey(a), CanonicalRegistryKey(b)});
    Check(call.hives == std::vector<int32_t>{hive, hive});
    Check(CheckRegistryKey(hive, a, false) == Allow && CheckRegistryKey(hive, b, true) == Allow);
  } else if (op >= 14 && op <= 17) {
    Check(call.texts[0] == a && CheckAppDataPath(a, ops.dataFolder) == Allow);
    // Below the folder the system named: an ordinary path, as the classifier tells.
    Check(ClassifyPath(a) == 0);
    if (op == 15) {
      // Only well-formed hexadecimal is written, and exactly the bytes it spells.
      std::vector<uint8_t> bytes;
      Check(DecodeHex(texts[2], bytes) && !IsDataFolderItself(a, ops.dataFolder));
      Check(call.texts[1] == EncodeHexLower(bytes.data(), bytes.size()));
    }
  } else if (op == 18) {
    Check(call.texts == std::vector<Text>{a} && CheckShellTarget(a) == Allow);
    // A document the shell opens is no pipe, mailslot or device, nor behind a namespace prefix.
    size_t start = 0;
    while (start < a.size() && a[start] <= u' ') ++start;
    const Text l = AsciiLower(a);
    const bool web = l.compare(0, 7, u"http://") == 0 || l.compare(0, 8, u"https://") == 0;
    if (!web) Check((ClassifyPath(a.substr(start)) & (NamespacePrefix | DevicePath | PipePath)) == 0);
  } else if (op == 21 || op == 22) {
    // The recording expansion is the identity for these texts unless they hold a short name.
    const Text source = op == 22 ? ops.ExpandLongPath(a) : a;
    const Text destination = op == 21 ? ops.ExpandLongPath(b) : b;
    Check(call.texts.size() == 4 && call.texts[0] == source && call.texts[1] == destination);
    Check(call.texts[2] == ops.tempFolder);
    // Both sides ordinary paths: no pipe, device, stream, prefix or climbing component.
    Check(ClassifyPath(source) == 0 && ClassifyPath(destination) == 0);
    Check((op == 21 ? CheckCopyIn(source, destination, ops.tempFolder)
                    : CheckExport(source, destination, ops.tempFolder)) == Allow);
    const Text inside = NormaliseForPolicy(op == 21 ? destination : source);
    Check(inside == NormaliseForPolicy(ops.tempFolder) + call.texts[3]);
  } else if (op == 23) {
    Check(call.texts == std::vector<Text>{a} && CheckHttpUrl(a) == Allow);
  } else if (op == 24) {
    uint32_t id = 0;
    Check(ParseHttpCheckId(a, id) && call.texts == std::vector<Text>{Text(1, static_cast<char16_t>(id & 0xFFFF))});
  } else {
    Check(call.hives == std::vector<int32_t>{hive});
    Check(call.texts[0] == CanonicalRegistryKey(a) && CheckRegistryKey(hive, a, IsWriteOp(op)) == Allow);
    const bool valueOp = op <= 5 || op == 12 || op == 13;
    if (valueOp) Check(IsValidValueName(b) && call.texts.size() >= 2 && call.texts[1] == b);
  }
}

}  // namespace
