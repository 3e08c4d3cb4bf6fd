// SPDX-License-Identifier: Apache-2.0
// Where the administrator policies come from: the keys below HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER (policy/admin_policy.h), read into an immutable snapshot. A watcher
// thread re-reads both whenever either key (or, while a key does not exist yet, its nearest
// existing parent) changes, and swaps the snapshot; a request only loads the current one.
#pragma once
#include <windows.h>

#include <memory>
#include <vector>
#include "policy/admin_policy.h"

namespace tarnvel::policy {

// Starts the watch, whose thread makes the first read, and returns at once; a broker calls it
// at start-up, so that the read happens while the host connects.
void StartAdminPolicyWatch();

// The policy in force; until the first read is, the call waits for it (starting the watch if
// nobody did). Values ignored are reported with
// one debugger line each, once (again only after they were gone from a later read); a user
// value that the machine's overrides is in the reports only.
std::shared_ptr<const EffectivePolicy> CurrentAdminPolicy();

// Reads both keys now, without watching (for the effective-policy switch).
EffectivePolicy ReadAdminPolicy();

// The values of the policy key below `root`; none when it does not exist.
std::vector<RawPolicyValue> ReadPolicyValues(HKEY root);

}  // namespace tarnvel::policy
