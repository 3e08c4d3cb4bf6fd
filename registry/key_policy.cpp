// SPDX-License-Identifier: Apache-2.0
#include "registry/key_policy.h"

#include <iterator>
#include <string_view>
#include "base/ascii.h"

namespace {

// A root admits itself and what lies below it, never a mere letter-prefix ("tarnvelx").
bool UnderRoot(const Text& normalised, std::u16string_view root) {
  if (normalised.size() < root.size()) return false;
  if (normalised.compare(0, root.size(), root) != 0) return false;
  return normalised.size() == root.size() || normalised[root.size()] == u'\\';
}

bool UnderAnyRoot(const Text& normalised, const std::u16string_view* roots, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (UnderRoot(normalised, roots[i])) return true;
  }
  return false;
}

// Views of literals: nothing to construct or destroy at process start or exit.
constexpr std::u16string_view kCurrentUserRoots[] = {u"software\\tarnvel", u"tarnvel"};
constexpr std::u16string_view kLocalMachineRoots[] = {u"software\\tarnvel", u"software\\wow6432node\\tarnvel"};

}  // namespace

const char* VerdictText(int32_t code) {
  switch (code) {
    case Allow:
      return "allow";
    case UnknownHive:
      return "denied: unknown hive";
    case OutsideSubtree:
      return "denied: outside Tarnvel subtree";
    case MalformedKey:
      return "denied: malformed key";
    case WriteToReadOnlyHive:
      return "denied: write to read-only hive";
    default:
      return "denied";
  }
}

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

PolicyVerdict CheckRegistryKey(int32_t hiveSelector, const Text& key, bool isWrite) {
  if (key.empty() || HasNul(key)) return MalformedKey;
  const Text normalised = NormaliseForPolicy(key);
  if (normalised.empty() || HasDotDotComponent(normalised)) return MalformedKey;

  switch (hiveSelector) {
    case 0:
      return UnderAnyRoot(normalised, kCurrentUserRoots, std::size(kCurrentUserRoots)) ? Allow : OutsideSubtree;
    case 1:
      if (isWrite) return WriteToReadOnlyHive;
      return UnderAnyRoot(normalised, kLocalMachineRoots, std::size(kLocalMachineRoots)) ? Allow : OutsideSubtree;
    default:
      return UnknownHive;
  }
}

bool IsValidValueName(const Text& name) {
  for (char16_t c : name) {
    if (c == 0 || c == u'\\' || c == u'/') return false;
  }
  return true;
}

JudgedKey JudgeKey(int32_t hive, const Text& key, bool isWrite) {
  return JudgedKey(hive, key, CheckRegistryKey(hive, key, isWrite));
}
