// SPDX-License-Identifier: Apache-2.0
// Plug-in data files (ops 14-17, called after CheckAppDataPath allowed text A) and copies
// through the local temporary folder (ops 21, 22, which judge their own paths).
#pragma once
#include <cstdint>
#include "base/text.h"
#include "base/unique_handle.h"
#include "requests/request_ops.h"

[[nodiscard]] RequestStatus ReadAppDataFile(const Text& path, Text& reply);
[[nodiscard]] RequestStatus WriteAppDataFile(const Text& path, const Text& hexData);
[[nodiscard]] RequestStatus AppDataFileExists(const Text& path);
[[nodiscard]] RequestStatus DeleteAppDataFile(const Text& path);
[[nodiscard]] RequestStatus CopyFileIn(const Text& source, const Text& destination);
[[nodiscard]] RequestStatus ExportFile(const Text& source, const Text& destination);
// The path opens as a file on a disk (not a device, pipe or folder).
[[nodiscard]] bool IsOrdinaryDiskFile(const Text& path);

// Op 14 in two steps, so that the reply's hex text is built where it is sent: Open judges
// the file as ReadAppDataFile does (NotFound for a missing, unreadable or too large file),
// ReadInto then reads its size() bytes into the room the reply made for them.
class AppDataFileReader {
 public:
  [[nodiscard]] RequestStatus Open(const Text& path);
  bool isOpen() const { return file_.valid(); }
  uint32_t size() const { return size_; }
  // The whole file or false; the reader is closed either way.
  [[nodiscard]] bool ReadInto(uint8_t* out);

 private:
  UniqueHandle file_;
  uint32_t size_ = 0;
};
