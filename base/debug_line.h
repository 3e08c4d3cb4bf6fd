// SPDX-License-Identifier: Apache-2.0
// The broker's diagnostics: single lines on the debugger output, nothing else.
#pragma once

// Writes one line with OutputDebugStringA on Windows. Native builds have no debugger
// output; there the line goes to the sink that a test installed (or nowhere).
void DebugLine(const char* text);

#ifndef _WIN32
using DebugLineSink = void (*)(const char* text);
void SetDebugLineSink(DebugLineSink sink);
#endif
