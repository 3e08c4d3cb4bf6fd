// SPDX-License-Identifier: Apache-2.0
#include "policy/normalise.h"

#include "base/ascii.h"

namespace tarnvel::policy {

Text CanonicalRegistryKey(const Text& key) {
  Text out;
  out.reserve(key.size());
  // A run of separators is only emitted once something follows it, so leading and
  // trailing runs vanish without a second pass.
  bool pendingSeparator = false;
  for (char16_t c : key) {
    if (IsPathSeparator(c)) {
      pendingSeparator = !out.empty();
      continue;
    }
    if (pendingSeparator) {
      out.push_back(u'\\');
      pendingSeparator = false;
    }
    out.push_back(c);
  }
  return out;
}

Text NormaliseForPolicy(const Text& text) { return AsciiLower(CanonicalRegistryKey(text)); }

bool HasDotDotComponent(const Text& n) {
  if (n == u"..") return true;
  if (n.find(u"\\..\\") != Text::npos) return true;
  if (StartsWith(n, u"..\\")) return true;
  return n.size() >= 3 && n.compare(n.size() - 3, 3, u"\\..") == 0;
}

}  // namespace tarnvel::policy
