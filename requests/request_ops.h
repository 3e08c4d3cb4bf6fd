// Op codes and statuses of the broker request (message id 6, reply id 7).
#pragma once
#include <cstdint>

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
