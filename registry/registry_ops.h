// SPDX-License-Identifier: Apache-2.0
// The registry operations: one short sequence of registry calls per request, on handles
// opened for that request alone, on the key exactly as the policy judged it (its canonical
// form). Value names and data are used as carried; the dispatcher checked the names.
// Hive selector 1 is the local-machine hive, anything else the current user's.
//
// Each returns the Win32 error of the step that ended it, and which step that was
// (base/op_outcome.h); the dispatcher alone maps it to a request status.
#pragma once
#include <cstdint>
#include <vector>
#include "base/op_outcome.h"
#include "base/text.h"
#include "registry/key_policy.h"

namespace tarnvel::registry {

OpOutcome ReadString(const JudgedKey& key, const Text& name, Text& out);
OpOutcome WriteString(const JudgedKey& key, const Text& name, const Text& data);
OpOutcome ReadDword(const JudgedKey& key, const Text& name, uint32_t& out);
OpOutcome WriteDword(const JudgedKey& key, const Text& name, uint32_t value);
OpOutcome ReadQword(const JudgedKey& key, const Text& name, uint64_t& out);
OpOutcome WriteQword(const JudgedKey& key, const Text& name, uint64_t value);
OpOutcome DeleteValue(const JudgedKey& key, const Text& name);
OpOutcome DeleteKey(const JudgedKey& key);
OpOutcome DeleteKeyTree(const JudgedKey& key);
OpOutcome KeyExists(const JudgedKey& key);
OpOutcome ListSubkeys(const JudgedKey& key, std::vector<Text>& names);
// Flattened: name 1, data 1, name 2, data 2, ...
OpOutcome ListValues(const JudgedKey& key, std::vector<Text>& namesAndData);
// Both keys of one hive; a destination below the source is refused as an invalid
// parameter (the copy would never end).
OpOutcome CopyKeyTree(const JudgedKey& source, const JudgedKey& destination);

}  // namespace tarnvel::registry
