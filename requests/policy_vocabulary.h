// SPDX-License-Identifier: Apache-2.0
// The names the requests' policies share with every other policy, and the registry's own
// judgement of keys, under the requests' namespace.
#pragma once
#include "policy/judgement.h"
#include "policy/normalise.h"
#include "policy/verdict.h"
#include "registry/key_policy.h"

namespace tarnvel::requests {

// The requests' policies speak the verdicts every policy speaks; registry keys are judged by
// the registry's own policy.
using policy::Allow;
using policy::HasDotDotComponent;
using policy::Judgement;
using policy::MalformedKey;
using policy::NormaliseForPolicy;
using policy::OutsideSubtree;
using policy::PolicyVerdict;
using policy::UnknownHive;
using policy::VerdictText;
using policy::WriteToReadOnlyHive;
using registry::CheckRegistryKey;
using registry::IsValidValueName;
using registry::JudgedKey;
using registry::JudgeKey;

}  // namespace tarnvel::requests
