// SPDX-License-Identifier: Apache-2.0
// What every policy answers: a verdict code, and its text for debugger lines. Pure.
#pragma once
#include <cstdint>

namespace tarnvel::policy {

enum PolicyVerdict : int32_t {
  Allow = 0,
  UnknownHive = 1,
  OutsideSubtree = 2,
  MalformedKey = 3,
  WriteToReadOnlyHive = 4,
};

// Narrow text for debugger lines; codes outside 0-4 give "denied".
const char* VerdictText(int32_t code);

}  // namespace tarnvel::policy
