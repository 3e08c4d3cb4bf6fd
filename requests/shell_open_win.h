// SPDX-License-Identifier: Apache-2.0
// Op 18 on the system: open a judged URL or document with the shell's "open" verb.
#pragma once
#include "base/op_outcome.h"
#include "requests/judged.h"

namespace tarnvel::requests {

// A failure reports the shell's own code (at most 32; 0: out of memory) as its error.
OpOutcome ShellOpen(const JudgedShellTarget& target);

}  // namespace tarnvel::requests
