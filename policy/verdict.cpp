// SPDX-License-Identifier: Apache-2.0
#include "policy/verdict.h"

namespace tarnvel::policy {

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

}  // namespace tarnvel::policy
