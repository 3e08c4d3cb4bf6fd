// Plug-in data files (ops 14-17, called after CheckAppDataPath allowed text A) and copies
// through the local temporary folder (ops 21, 22, which judge their own paths).
#pragma once
#include "base/text.h"
#include "requests/request_ops.h"

RequestStatus ReadAppDataFile(const Text& path, Text& reply);
RequestStatus WriteAppDataFile(const Text& path, const Text& hexData);
RequestStatus AppDataFileExists(const Text& path);
RequestStatus DeleteAppDataFile(const Text& path);
RequestStatus CopyFileIn(const Text& source, const Text& destination);
RequestStatus ExportFile(const Text& source, const Text& destination);
