// SPDX-License-Identifier: Apache-2.0
// Administrator policy values as the registry may hold them, whatever their bytes: the first
// byte picks the value and its type, the rest is its data. Whatever is read, a switch is 0 or
// 1, a list in force holds only items it may hold, nothing is widened, and the reports and the
// address test take any text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "policy/admin_policy.h"

using namespace tarnvel;
using namespace tarnvel::policy;

namespace {

void Require(bool condition) {
  if (!condition) abort();
}

bool IsChoice(const AdminPolicyRow& row, const Text& item) {
  for (const char* const* c = row.choices; *c != nullptr; ++c) {
    if (AsciiText(*c) == item) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const AdminPolicyRow& picked = kAdminPolicies[data[0] % kAdminPolicyCount];
  const uint32_t types[] = {RegDword, RegSz, RegMultiSz, 3};
  RawPolicyValue value{AsciiText(picked.name), types[(data[0] >> 4) % 4], std::vector<uint8_t>(data + 1, data + size)};
  const EffectivePolicy p =
      MakeEffectivePolicy((data[0] & 0x80) ? std::vector<RawPolicyValue>{value} : std::vector<RawPolicyValue>{},
                          (data[0] & 0x80) ? std::vector<RawPolicyValue>{} : std::vector<RawPolicyValue>{value});
  for (const AdminPolicyRow& row : kAdminPolicies) {
    const PolicySetting& s = p[row.id];
    Require(row.id == picked.id || s.source == AdminSource::BuiltIn);
    Require(s.items.size() <= MaxPolicyListItems);
    if (row.choices != nullptr) {
      for (const Text& item : s.items) Require(IsChoice(row, item));
    }
  }
  (void)EffectivePolicyJson(p);
  (void)EffectivePolicyText(p);
  Text text;
  for (size_t i = 1; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  (void)IsInwardAddress(text);
  (void)IsUrlHostAllowed(p, text);
  return 0;
}
