// SPDX-License-Identifier: Apache-2.0
// The protocol header under the names the broker's own code uses.
#pragma once
#include "tarnvel/protocol.h"

namespace tarnvel {

using tarnvel::protocol::IsWriteOp;
using tarnvel::protocol::MessageId;
using tarnvel::protocol::RequestOp;
using tarnvel::protocol::RequestStatus;

}  // namespace tarnvel
