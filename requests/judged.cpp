// SPDX-License-Identifier: Apache-2.0
#include "requests/judged.h"

#include "requests/admin_judge.h"
#include "requests/path_policy.h"
#include "requests/url_check.h"

namespace tarnvel::requests {

Judgement<JudgedDataPath> JudgeDataPath(const Text& path, const Text& dataFolder) {
  const PolicyVerdict verdict = CheckAppDataPath(path, dataFolder);
  if (verdict != Allow) return Judgement<JudgedDataPath>(verdict);
  return Judgement<JudgedDataPath>(JudgedDataPath(path));
}

Judgement<JudgedShellTarget> JudgeShellTarget(const Text& target) {
  const PolicyVerdict verdict = CheckShellTarget(target);
  if (verdict != Allow) return Judgement<JudgedShellTarget>(verdict);
  return Judgement<JudgedShellTarget>(JudgedShellTarget(target));
}

Judgement<JudgedUrl> JudgeUrl(const Text& url, std::shared_ptr<const policy::EffectivePolicy> adminPolicy) {
  const PolicyVerdict verdict = CheckHttpUrl(url);
  if (verdict != Allow) return Judgement<JudgedUrl>(verdict);
  return Judgement<JudgedUrl>(JudgedUrl(url, adminPolicy ? std::move(adminPolicy) : policy::BuiltInAdminPolicy()));
}

std::optional<JudgedUrl> JudgedUrl::RedirectTo(const Text& target) const {
  if (CheckHttpUrl(target) != Allow) return std::nullopt;
  return JudgedUrl(target, adminPolicy_);
}

std::optional<policy::PolicyRefusal> JudgedUrl::AdminRefusalOfRedirect(const Text& target) const {
  if (adminPolicy_->auditOnly) return std::nullopt;
  return JudgeUrlHostByAdminPolicy(*adminPolicy_, HttpUrlHost(target));
}

bool JudgedUrl::JudgesAddresses() const {
  return !adminPolicy_->auditOnly && (*adminPolicy_)[policy::AdminPolicyId::UrlCheckRefuseInward].active;
}

std::optional<policy::PolicyRefusal> JudgedUrl::AdminRefusalOfAddress(const Text& address) const {
  if (adminPolicy_->auditOnly) return std::nullopt;
  return JudgeConnectedAddressByAdminPolicy(*adminPolicy_, address);
}

JudgedCopy::JudgedCopy(Text source, Text destination, Text tempFolder, bool insideIsDestination)
    : source_(std::move(source)),
      destination_(std::move(destination)),
      tempFolder_(std::move(tempFolder)),
      inside_(insideIsDestination) {
  // Both checks allowed the inside path only strictly below the folder, so the remainder
  // starts with its separator.
  remainder_ = NormaliseForPolicy(insidePath()).substr(NormaliseForPolicy(tempFolder_).size());
}

Judgement<JudgedCopy> JudgeCopyIn(const Text& source, const Text& expandedDestination, const Text& tempFolder) {
  const PolicyVerdict verdict = CheckCopyIn(source, expandedDestination, tempFolder);
  if (verdict != Allow) return Judgement<JudgedCopy>(verdict);
  return Judgement<JudgedCopy>(JudgedCopy(source, expandedDestination, tempFolder, true));
}

Judgement<JudgedCopy> JudgeExport(const Text& expandedSource, const Text& destination, const Text& tempFolder) {
  const PolicyVerdict verdict = CheckExport(expandedSource, destination, tempFolder);
  if (verdict != Allow) return Judgement<JudgedCopy>(verdict);
  return Judgement<JudgedCopy>(JudgedCopy(expandedSource, destination, tempFolder, false));
}

}  // namespace tarnvel::requests
