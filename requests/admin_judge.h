// SPDX-License-Identifier: Apache-2.0
// A request against the administrator policies in force (policy/admin_policy.h): which
// policy, if any, refuses it. The dispatcher asks before the op's own judgement and decides
// what a refusal does (in audit-only mode it refuses nothing). Pure.
#pragma once
#include <optional>
#include "base/request_inputs.h"
#include "policy/admin_policy.h"

namespace tarnvel::requests {

std::optional<policy::PolicyRefusal> JudgeByAdminPolicy(const policy::EffectivePolicy& policy, const RequestInputs& in);

// The URL-check policies on one address: the host of a URL to check or of a redirect's
// target, or the address the check actually connected to.
std::optional<policy::PolicyRefusal> JudgeUrlHostByAdminPolicy(const policy::EffectivePolicy& policy, const Text& host);
std::optional<policy::PolicyRefusal> JudgeConnectedAddressByAdminPolicy(const policy::EffectivePolicy& policy,
                                                                        const Text& address);

}  // namespace tarnvel::requests
