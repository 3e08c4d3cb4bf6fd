// SPDX-License-Identifier: Apache-2.0
#include "requests/admin_judge.h"

#include "base/protocol.h"
#include "requests/path_policy.h"
#include "requests/url_check.h"

namespace tarnvel::requests {

using policy::AdminPolicyId;
using policy::EffectivePolicy;
using policy::PolicyRefusal;
using policy::RefusalBy;
using tarnvel::protocol::Code;

namespace {

std::optional<PolicyRefusal> JudgeShellTargetByPolicy(const EffectivePolicy& p, const Text& target) {
  const Text scheme = ShellSchemeOf(target);
  if (!scheme.empty() && p.ListRefuses(AdminPolicyId::ShellOpenSchemes, scheme)) {
    return RefusalBy(AdminPolicyId::ShellOpenSchemes);
  }
  // Web addresses are no documents; ftp addresses and paths are.
  if (scheme == u"http" || scheme == u"https") return std::nullopt;
  if (p.ListRefuses(AdminPolicyId::ShellOpenDocumentTypes, ShellDocumentTypeOf(target))) {
    return RefusalBy(AdminPolicyId::ShellOpenDocumentTypes);
  }
  return std::nullopt;
}

}  // namespace

std::optional<PolicyRefusal> JudgeUrlHostByAdminPolicy(const EffectivePolicy& p, const Text& host) {
  if (!policy::IsUrlHostAllowed(p, host)) return RefusalBy(AdminPolicyId::UrlCheckHosts);
  return JudgeConnectedAddressByAdminPolicy(p, host);
}

std::optional<PolicyRefusal> JudgeConnectedAddressByAdminPolicy(const EffectivePolicy& p, const Text& address) {
  if (p[AdminPolicyId::UrlCheckRefuseInward].active && policy::IsInwardAddress(address)) {
    return RefusalBy(AdminPolicyId::UrlCheckRefuseInward);
  }
  return std::nullopt;
}

std::optional<PolicyRefusal> JudgeByAdminPolicy(const EffectivePolicy& p, const RequestInputs& in) {
  const std::optional<AdminPolicyId> capability = policy::CapabilityOfOp(in.opCode);
  if (!capability) return std::nullopt;
  if (p[*capability].active) return RefusalBy(*capability);
  if (in.opCode == Code(RequestOp::ShellOpen)) return JudgeShellTargetByPolicy(p, in.textA);
  if (in.opCode == Code(RequestOp::StartHttpCheck)) return JudgeUrlHostByAdminPolicy(p, HttpUrlHost(in.textA));
  return std::nullopt;
}

}  // namespace tarnvel::requests
