// SPDX-License-Identifier: Apache-2.0
// Plug-in data files (ops 14-17) and copies through the local temporary folder (ops 21, 22)
// on the system: each acts on the judged paths exactly.
#pragma once
#include <cstdint>
#include <vector>
#include "base/op_outcome.h"
#include "base/text.h"
#include "ipc/reply_body.h"
#include "requests/judged.h"

namespace tarnvel::requests {

// Op 14: the file, when it opens and holds at most `maxBytes`, stays open in `reply`'s source,
// which reads it whole before the reply is written and produces its hexadecimal text while
// the reply is written; a file that then cannot be read whole answers NotFound.
OpOutcome OpenAppDataFileReply(const JudgedDataPath& path, uint32_t maxBytes, ipc::ReplyBody& reply);
// The target is replaced whole by `data` or left as it was.
OpOutcome WriteAppDataFile(const JudgedDataPath& path, const std::vector<uint8_t>& data);
OpOutcome AppDataFileExists(const JudgedDataPath& path);
OpOutcome DeleteAppDataFile(const JudgedDataPath& path);
// Both copies replace their destination whole or leave it as it was, like the write. A
// missing source is ErrorFileNotFound at the open step; NotAtJudgedPath: the file opened
// inside the temporary folder lies elsewhere (a link the plug-in placed) or has other names,
// or the copy-in source opened is not what its path was judged to be (its long name has
// another extension); nothing was copied.
OpOutcome CopyFileIn(const JudgedCopy& copy);
OpOutcome ExportFile(const JudgedCopy& copy);
// The path opens as a file on a disk (not a device, pipe or folder).
[[nodiscard]] bool IsOrdinaryDiskFile(const Text& path);

}  // namespace tarnvel::requests
