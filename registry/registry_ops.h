// SPDX-License-Identifier: Apache-2.0
// The registry operations: one short sequence of registry calls per request, on handles
// opened for that request alone. Each acts on the key as the policy judged it (see
// CanonicalRegistryKey); value names and data are used as carried.
// Hive selector 1 is the local-machine hive, anything else the current user's.
#pragma once
#include <cstdint>
#include <vector>
#include "base/text.h"
#include "registry/key_policy.h"

[[nodiscard]] bool ReadString(const JudgedKey& key, const Text& name, Text& out);
[[nodiscard]] bool WriteString(const JudgedKey& key, const Text& name, const Text& data);
[[nodiscard]] bool ReadDword(const JudgedKey& key, const Text& name, uint32_t& out);
[[nodiscard]] bool WriteDword(const JudgedKey& key, const Text& name, uint32_t value);
[[nodiscard]] bool ReadQword(const JudgedKey& key, const Text& name, uint64_t& out);
[[nodiscard]] bool WriteQword(const JudgedKey& key, const Text& name, uint64_t value);
[[nodiscard]] bool DeleteValue(const JudgedKey& key, const Text& name);
[[nodiscard]] bool DeleteKey(const JudgedKey& key);
[[nodiscard]] bool DeleteKeyTree(const JudgedKey& key);
[[nodiscard]] bool KeyExists(const JudgedKey& key);
[[nodiscard]] bool ListSubkeys(const JudgedKey& key, std::vector<Text>& names);
// Flattened: name 1, data 1, name 2, data 2, ...
[[nodiscard]] bool ListValues(const JudgedKey& key, std::vector<Text>& namesAndData);
[[nodiscard]] bool CopyKeyTree(const JudgedKey& source, const JudgedKey& destination);
