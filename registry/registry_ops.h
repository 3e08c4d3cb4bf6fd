// The registry operations: one short sequence of registry calls per request, on handles
// opened for that request alone. Each acts on the key as the policy judged it (see
// CanonicalRegistryKey); value names and data are used as carried.
// Hive selector 1 is the local-machine hive, anything else the current user's.
#pragma once
#include <cstdint>
#include <vector>
#include "base/text.h"

bool ReadString(int32_t hive, const Text& key, const Text& name, Text& out);
bool WriteString(int32_t hive, const Text& key, const Text& name, const Text& data);
bool ReadDword(int32_t hive, const Text& key, const Text& name, uint32_t& out);
bool WriteDword(int32_t hive, const Text& key, const Text& name, uint32_t value);
bool ReadQword(int32_t hive, const Text& key, const Text& name, uint64_t& out);
bool WriteQword(int32_t hive, const Text& key, const Text& name, uint64_t value);
bool DeleteValue(int32_t hive, const Text& key, const Text& name);
bool DeleteKey(int32_t hive, const Text& key);
bool DeleteKeyTree(int32_t hive, const Text& key);
bool KeyExists(int32_t hive, const Text& key);
bool ListSubkeys(int32_t hive, const Text& key, std::vector<Text>& names);
// Flattened: name 1, data 1, name 2, data 2, ...
bool ListValues(int32_t hive, const Text& key, std::vector<Text>& namesAndData);
bool CopyKeyTree(int32_t hive, const Text& source, const Text& destination);
