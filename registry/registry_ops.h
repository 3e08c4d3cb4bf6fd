// The registry operations: one short sequence of registry calls per request, on handles
// opened for that request alone. Each acts on the key as the policy judged it (see
// CanonicalRegistryKey); value names and data are used as carried.
// Hive selector 1 is the local-machine hive, anything else the current user's.
#pragma once
#include <cstdint>
#include <vector>
#include "base/text.h"

[[nodiscard]] bool ReadString(int32_t hive, const Text& key, const Text& name, Text& out);
[[nodiscard]] bool WriteString(int32_t hive, const Text& key, const Text& name, const Text& data);
[[nodiscard]] bool ReadDword(int32_t hive, const Text& key, const Text& name, uint32_t& out);
[[nodiscard]] bool WriteDword(int32_t hive, const Text& key, const Text& name, uint32_t value);
[[nodiscard]] bool ReadQword(int32_t hive, const Text& key, const Text& name, uint64_t& out);
[[nodiscard]] bool WriteQword(int32_t hive, const Text& key, const Text& name, uint64_t value);
[[nodiscard]] bool DeleteValue(int32_t hive, const Text& key, const Text& name);
[[nodiscard]] bool DeleteKey(int32_t hive, const Text& key);
[[nodiscard]] bool DeleteKeyTree(int32_t hive, const Text& key);
[[nodiscard]] bool KeyExists(int32_t hive, const Text& key);
[[nodiscard]] bool ListSubkeys(int32_t hive, const Text& key, std::vector<Text>& names);
// Flattened: name 1, data 1, name 2, data 2, ...
[[nodiscard]] bool ListValues(int32_t hive, const Text& key, std::vector<Text>& namesAndData);
[[nodiscard]] bool CopyKeyTree(int32_t hive, const Text& source, const Text& destination);
