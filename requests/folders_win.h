// SPDX-License-Identifier: Apache-2.0
// What the path judgements need from the system, asked afresh for every request.
#pragma once
#include "base/text.h"

namespace tarnvel::requests {

// Empty on failure.
Text AppDataFolder();
Text LocalTempFolder();
// Short (8.3) directory names become long ones; the last component is kept as is.
Text ExpandLongPath(const Text& path);

}  // namespace tarnvel::requests
