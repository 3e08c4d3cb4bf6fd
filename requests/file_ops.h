// Plug-in data files (ops 14-17, called after CheckAppDataPath allowed text A) and copies
// through the local temporary folder (ops 21, 22, which judge their own paths).
#pragma once
#include "base/text.h"
#include "requests/request_ops.h"

[[nodiscard]] RequestStatus ReadAppDataFile(const Text& path, Text& reply);
[[nodiscard]] RequestStatus WriteAppDataFile(const Text& path, const Text& hexData);
[[nodiscard]] RequestStatus AppDataFileExists(const Text& path);
[[nodiscard]] RequestStatus DeleteAppDataFile(const Text& path);
[[nodiscard]] RequestStatus CopyFileIn(const Text& source, const Text& destination);
[[nodiscard]] RequestStatus ExportFile(const Text& source, const Text& destination);
