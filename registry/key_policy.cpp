// SPDX-License-Identifier: Apache-2.0
#include "registry/key_policy.h"

#include <iterator>
#include <string_view>
#include "base/ascii.h"

namespace tarnvel::registry {

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

// A component longer than the registry takes, or a text the registry calls would cut short.
bool IsBeyondRegistryBounds(const Text& normalised) {
  if (normalised.size() > MaxKeyTextUnits) return true;
  size_t start = 0;
  while (start < normalised.size()) {
    size_t end = normalised.find(u'\\', start);
    if (end == Text::npos) end = normalised.size();
    if (end - start > MaxKeyNameUnits) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

PolicyVerdict CheckRegistryKey(int32_t hiveSelector, const Text& key, bool isWrite) {
  if (key.empty() || HasNul(key)) return MalformedKey;
  const Text normalised = NormaliseForPolicy(key);
  if (normalised.empty() || HasDotDotComponent(normalised)) return MalformedKey;
  if (IsBeyondRegistryBounds(normalised)) return MalformedKey;

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
  if (name.size() > MaxValueNameUnits) return false;
  for (char16_t c : name) {
    if (c == 0 || c == u'\\' || c == u'/') return false;
  }
  return true;
}

Judgement<JudgedKey> JudgeKey(int32_t hive, const Text& key, bool isWrite) {
  const PolicyVerdict verdict = CheckRegistryKey(hive, key, isWrite);
  if (verdict != Allow) return Judgement<JudgedKey>(verdict);
  return Judgement<JudgedKey>(JudgedKey(hive, CanonicalRegistryKey(key)));
}

}  // namespace tarnvel::registry
