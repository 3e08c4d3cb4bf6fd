// SPDX-License-Identifier: Apache-2.0
// The broker's protocol in one place, for the broker and for hosts alike: message ids, the
// request's op codes and statuses, and which op codes write (docs/protocol.md).
#pragma once
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

// The op codes whose key (or data path) is judged for writing; every other code, unknown
// ones included, is judged as a read.
constexpr bool IsWriteOp(int32_t opCode) {
  switch (static_cast<RequestOp>(opCode)) {
    case RequestOp::WriteString:
    case RequestOp::WriteDword:
    case RequestOp::DeleteValue:
    case RequestOp::DeleteKey:
    case RequestOp::DeleteKeyTree:
    case RequestOp::WriteQword:
    case RequestOp::WriteAppDataFile:
    case RequestOp::DeleteAppDataFile:
      return true;
    default:
      return false;
  }
}

}  // namespace tarnvel::protocol
