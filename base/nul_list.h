// SPDX-License-Identifier: Apache-2.0
// The list form of reply texts: every element followed by one U+0000. Pure.
#pragma once
#include <vector>
#include "base/text.h"

namespace tarnvel {

// No elements give the empty text.
Text JoinNulTerminated(const std::vector<Text>& items);
// The elements in order. A last element without its U+0000 is still returned, and
// `wellFormed` (when given) then says false: a strict reader refuses such a list, a
// person reading it still sees everything.
std::vector<Text> SplitNulTerminated(const Text& text, bool* wellFormed = nullptr);

}  // namespace tarnvel
