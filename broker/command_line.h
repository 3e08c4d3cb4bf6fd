// SPDX-License-Identifier: Apache-2.0
// The broker's command line: " --ipc=<pipe name> --proc=<host process id>", the two
// switches in that order, each preceded by a blank; or the effective-policy switch alone. Pure.
#pragma once
#include <cstdint>
#include "base/text.h"

namespace tarnvel::broker {

struct BrokerCommandLine {
  Text pipePath;  // "\\.\pipe\" + the name, untrimmed, possibly empty
  int32_t hostProcessId = 0;
};

bool ParseBrokerCommandLine(const Text& commandLine, BrokerCommandLine& out);

// " --effective-policy" (text) or " --effective-policy=json" ending the line, without
// " --ipc=": the broker prints the administrator policies in force and exits, with no pipe.
enum class EffectivePolicyReport { None, Text, Json };
EffectivePolicyReport ParseEffectivePolicySwitch(const Text& commandLine);

// Base-10 like the C library (white space, one sign, digits up to the first other
// character, none give 0), clamped to the 32-bit range.
int32_t ParseProcessId(const Text& text);

}  // namespace tarnvel::broker
