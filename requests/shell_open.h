// SPDX-License-Identifier: Apache-2.0
// Op 18: open an allowed URL or document with the shell's "open" verb.
#pragma once
#include "base/text.h"
#include "requests/request_ops.h"

[[nodiscard]] RequestStatus ShellOpen(const Text& target);
