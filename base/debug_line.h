// SPDX-License-Identifier: Apache-2.0
// The broker's diagnostics: single lines on the debugger output, nothing else.
#pragma once

namespace tarnvel {

// Writes one line with OutputDebugStringA on Windows (native builds have no debugger
// output), and hands it to the sink a test installed, if any.
void DebugLine(const char* text);

using DebugLineSink = void (*)(const char* text);
void SetDebugLineSink(DebugLineSink sink);

}  // namespace tarnvel
