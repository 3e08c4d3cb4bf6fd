// SPDX-License-Identifier: Apache-2.0
// Op 18 on the system: open a judged URL or document with the shell's "open" verb.
#pragma once
#include "base/protocol.h"
#include "requests/judged.h"

namespace tarnvel::requests {

[[nodiscard]] RequestStatus ShellOpen(const JudgedShellTarget& target);

}  // namespace tarnvel::requests
