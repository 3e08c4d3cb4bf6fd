// SPDX-License-Identifier: Apache-2.0
// Plug-in data files (ops 14-17) and copies through the local temporary folder (ops 21, 22)
// on the system: each acts on the judged paths exactly.
#pragma once
#include <cstdint>
#include <vector>
#include "base/protocol.h"
#include "base/text.h"
#include "ipc/reply_body.h"
#include "requests/judged.h"

namespace tarnvel::requests {

// Op 14: NotFound for a missing, unreadable or too large file (over 4 MiB). Otherwise the
// file stays open in `reply`'s source, which reads it whole before the reply is written and
// produces its hexadecimal text while the reply is written; a file that then cannot be read
// whole answers NotFound as well.
[[nodiscard]] RequestStatus OpenAppDataFileReply(const JudgedDataPath& path, ipc::ReplyBody& reply);
// The target is replaced whole by `data` or left as it was.
[[nodiscard]] RequestStatus WriteAppDataFile(const JudgedDataPath& path, const std::vector<uint8_t>& data);
[[nodiscard]] RequestStatus AppDataFileExists(const JudgedDataPath& path);
[[nodiscard]] RequestStatus DeleteAppDataFile(const JudgedDataPath& path);
// Both copies replace their destination whole or leave it as it was, like the write.
[[nodiscard]] CopyOutcome CopyFileIn(const JudgedCopy& copy);
[[nodiscard]] CopyOutcome ExportFile(const JudgedCopy& copy);
// The path opens as a file on a disk (not a device, pipe or folder).
[[nodiscard]] bool IsOrdinaryDiskFile(const Text& path);

}  // namespace tarnvel::requests
