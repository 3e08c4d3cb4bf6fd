// SPDX-License-Identifier: Apache-2.0
// The registry operations: one short sequence of registry calls per request, on handles
// opened for that request alone, on the key exactly as the policy judged it (its canonical
// form). Value names and data are used as carried; the dispatcher checked the names.
// Hive selector 1 is the local-machine hive, anything else the current user's.
//
// Each returns the Win32 error of the step that ended it, and which step that was; the
// dispatcher alone maps it to a request status.
#pragma once
#include <cstdint>
#include <vector>
#include "base/text.h"
#include "registry/key_policy.h"

namespace tarnvel::registry {

// The step whose error a registry operation reports: opening (or creating) the key, or
// the act on it. "Missing" means something else in each: a missing value is deleted, a
// missing key is not.
enum class RegistryStep : uint8_t { Open, Act };

struct [[nodiscard]] RegistryResult {
  int32_t error = 0;  // the LSTATUS; 0 is success
  RegistryStep step = RegistryStep::Act;
  bool ok() const { return error == 0; }
};

constexpr int32_t RegistryFileNotFound = 2;        // ERROR_FILE_NOT_FOUND
constexpr int32_t RegistryInvalidParameter = 87;   // ERROR_INVALID_PARAMETER
constexpr int32_t RegistryUnsupportedType = 1630;  // ERROR_UNSUPPORTED_TYPE: a value of another type

RegistryResult ReadString(const JudgedKey& key, const Text& name, Text& out);
RegistryResult WriteString(const JudgedKey& key, const Text& name, const Text& data);
RegistryResult ReadDword(const JudgedKey& key, const Text& name, uint32_t& out);
RegistryResult WriteDword(const JudgedKey& key, const Text& name, uint32_t value);
RegistryResult ReadQword(const JudgedKey& key, const Text& name, uint64_t& out);
RegistryResult WriteQword(const JudgedKey& key, const Text& name, uint64_t value);
RegistryResult DeleteValue(const JudgedKey& key, const Text& name);
RegistryResult DeleteKey(const JudgedKey& key);
RegistryResult DeleteKeyTree(const JudgedKey& key);
RegistryResult KeyExists(const JudgedKey& key);
RegistryResult ListSubkeys(const JudgedKey& key, std::vector<Text>& names);
// Flattened: name 1, data 1, name 2, data 2, ...
RegistryResult ListValues(const JudgedKey& key, std::vector<Text>& namesAndData);
// Both keys of one hive; a destination below the source is refused as an invalid
// parameter (the copy would never end).
RegistryResult CopyKeyTree(const JudgedKey& source, const JudgedKey& destination);

}  // namespace tarnvel::registry
