// SPDX-License-Identifier: Apache-2.0
// Process-wide hardening applied first thing at start-up. The shell loads extensions into
// this process, so DLLs come from System32 only, a corrupted heap ends the process, and
// extension points and remote or low-label images are refused where the system can.
// Nothing here is a start-up failure: each step reports whether the system took it.
#pragma once
#include <cstdint>

namespace tarnvel::broker {

enum HardeningStep : uint32_t {
  DefaultDllDirectoriesSystem32 = 1u << 0,
  EmptyDllDirectory = 1u << 1,
  HeapTerminationOnCorruption = 1u << 2,
  ExtensionPointsDisabled = 1u << 3,
  ImageLoadRestricted = 1u << 4,
};

// The steps that the system accepted (a mask of HardeningStep).
uint32_t ApplyStartupHardening();

}  // namespace tarnvel::broker
