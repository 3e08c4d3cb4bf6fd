// SPDX-License-Identifier: Apache-2.0
// One request through the dispatcher over the system's own operations, in-process, with its
// reply text made as the service binding would send it (a data-file read's text included).
#pragma once
#include <cstdint>
#include "base/protocol.h"
#include "base/text.h"

using namespace tarnvel;

struct SystemReply {
  RequestStatus status;
  Text text;
};

SystemReply SystemRequest(RequestOp op, int32_t hive, const Text& a, const Text& b = Text(), const Text& c = Text());
SystemReply SystemRequest(int32_t opCode, int32_t hive, const Text& a, const Text& b = Text(), const Text& c = Text());
