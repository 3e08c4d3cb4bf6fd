// SPDX-License-Identifier: Apache-2.0
#include "base/nul_list.h"

namespace tarnvel {

Text JoinNulTerminated(const std::vector<Text>& items) {
  size_t total = 0;
  for (const Text& item : items) total += item.size() + 1;
  Text out;
  out.reserve(total);
  for (const Text& item : items) {
    out.append(item);
    out.push_back(char16_t(0));
  }
  return out;
}

std::vector<Text> SplitNulTerminated(const Text& text, bool* wellFormed) {
  std::vector<Text> items;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\0') {
      items.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  const bool terminated = start == text.size();
  if (!terminated) items.push_back(text.substr(start));
  if (wellFormed != nullptr) *wellFormed = terminated;
  return items;
}

}  // namespace tarnvel
