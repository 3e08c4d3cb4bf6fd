// SPDX-License-Identifier: Apache-2.0
// The broker's protocol in one place, for the broker, hosts, tools and tests alike: message
// ids, the request's op table and its statuses (docs/protocol.md). Plain C++17, no system
// headers: an MSVC, MinGW or native build includes it as it is.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tarnvel::protocol {

struct MessageId {
  static constexpr int32_t KeepAlive = 1;          // value 0: swallowed without a reply
  static constexpr int32_t PluginPipeRequest = 3;  // the plug-in's process id
  static constexpr int32_t PluginPipeReply = 4;    // error code, handle value in the plug-in
  static constexpr int32_t Request = 6;            // op, hive, texts A, B, C
  static constexpr int32_t Reply = 7;              // status, reply text
};

enum class RequestOp : int32_t {
  ReadString = 1,
  WriteString = 2,
  ReadDword = 3,
  WriteDword = 4,
  DeleteValue = 5,
  DeleteKey = 6,
  DeleteKeyTree = 7,
  KeyExists = 8,
  ListSubkeys = 9,
  ListValues = 10,
  Ping = 11,
  ReadQword = 12,
  WriteQword = 13,
  ReadAppDataFile = 14,
  WriteAppDataFile = 15,
  AppDataFileExists = 16,
  DeleteAppDataFile = 17,
  ShellOpen = 18,
  CopyKeyTree = 20,
  CopyFileIn = 21,
  ExportFile = 22,
  StartHttpCheck = 23,
  PollHttpCheck = 24,
};

enum class RequestStatus : int32_t {
  Success = 0,
  NotFound = 1,
  Denied = 2,
  Failed = 3,
  BadArgument = 4,
};

// The op code as it travels in a request.
constexpr int32_t Code(RequestOp op) { return static_cast<int32_t>(op); }
constexpr int32_t Code(RequestStatus status) { return static_cast<int32_t>(status); }

// One row per op code: everything a host, a tool or a test needs to say about it.
struct OpInfo {
  RequestOp op;
  const char* word;   // its word in tarnvel-host
  bool usesHive;      // the hive selector is judged (registry ops)
  const char* texts;  // the request texts it reads, in argument order ("AB": A, then B)
  bool writes;        // its key or data path is judged for writing
  // Text C is hexadecimal data, held as the bytes its digits spell while the message arrives
  // (a quarter of the text's memory).
  bool textCAsBytes;
};

inline constexpr OpInfo kOps[] = {
    {RequestOp::Ping, "ping", false, "", false, false},
    {RequestOp::ReadString, "read-string", true, "AB", false, false},
    {RequestOp::WriteString, "write-string", true, "ABC", true, false},
    {RequestOp::ReadDword, "read-dword", true, "AB", false, false},
    {RequestOp::WriteDword, "write-dword", true, "ABC", true, false},
    {RequestOp::DeleteValue, "delete-value", true, "AB", true, false},
    {RequestOp::DeleteKey, "delete-key", true, "A", true, false},
    {RequestOp::DeleteKeyTree, "delete-tree", true, "A", true, false},
    {RequestOp::KeyExists, "key-exists", true, "A", false, false},
    {RequestOp::ListSubkeys, "list-keys", true, "A", false, false},
    {RequestOp::ListValues, "list-values", true, "A", false, false},
    {RequestOp::ReadQword, "read-qword", true, "AB", false, false},
    {RequestOp::WriteQword, "write-qword", true, "ABC", true, false},
    {RequestOp::ReadAppDataFile, "read-file", false, "A", false, false},
    {RequestOp::WriteAppDataFile, "write-file", false, "AC", true, true},
    {RequestOp::AppDataFileExists, "file-exists", false, "A", false, false},
    {RequestOp::DeleteAppDataFile, "delete-file", false, "A", true, false},
    {RequestOp::ShellOpen, "shell-open", false, "A", false, false},
    // Copy tree judges its source for reading and its destination for writing.
    {RequestOp::CopyKeyTree, "copy-tree", true, "AB", false, false},
    {RequestOp::CopyFileIn, "copy-in", false, "AB", false, false},
    {RequestOp::ExportFile, "export", false, "AB", false, false},
    {RequestOp::StartHttpCheck, "http-check", false, "A", false, false},
    {RequestOp::PollHttpCheck, "http-poll", false, "A", false, false},
};

// The row of an op code; null for a code the broker does not serve.
constexpr const OpInfo* FindOp(int32_t opCode) {
  for (const OpInfo& info : kOps) {
    if (Code(info.op) == opCode) return &info;
  }
  return nullptr;
}

// The op code whose key (or data path) is judged for writing; every other code, unknown
// ones included, is judged as a read.
constexpr bool IsWriteOp(int32_t opCode) {
  const OpInfo* info = FindOp(opCode);
  return info != nullptr && info->writes;
}

// Whether a request with this op code holds its text C as bytes; no other text is.
constexpr bool HoldsTextCAsBytes(int32_t opCode) {
  const OpInfo* info = FindOp(opCode);
  return info != nullptr && info->textCAsBytes;
}

// "Success", "NotFound", "Denied", "Failed", "BadArgument"; null for any other number.
constexpr const char* StatusName(int32_t status) {
  switch (status) {
    case Code(RequestStatus::Success):
      return "Success";
    case Code(RequestStatus::NotFound):
      return "NotFound";
    case Code(RequestStatus::Denied):
      return "Denied";
    case Code(RequestStatus::Failed):
      return "Failed";
    case Code(RequestStatus::BadArgument):
      return "BadArgument";
    default:
      return nullptr;
  }
}

}  // namespace tarnvel::protocol
