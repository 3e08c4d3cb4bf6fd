// SPDX-License-Identifier: Apache-2.0
// The one normalisation every policy judges on, and the ".." test. Pure.
#pragma once
#include "base/text.h"

namespace tarnvel::policy {

// Separator runs ('/' or '\') become one '\', leading and trailing separators vanish,
// 'A'-'Z' fold to 'a'-'z'; nothing else changes.
Text NormaliseForPolicy(const Text& text);

// The key as the registry operations use it: separator runs become one '\', leading and
// trailing separators vanish, letter case is kept. NormaliseForPolicy is this, lower-cased,
// so the registry acts on exactly the key that was judged.
Text CanonicalRegistryKey(const Text& key);

// True when a normalised text has a component that is exactly "..".
bool HasDotDotComponent(const Text& normalised);

}  // namespace tarnvel::policy
