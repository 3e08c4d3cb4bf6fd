// SPDX-License-Identifier: Apache-2.0
#include "support/system_request_win.h"

#include <vector>
#include "ipc/reply_body.h"
#include "requests/request_service_win.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;
using namespace tarnvel::sandbox;

SystemReply SystemRequest(int32_t opCode, int32_t hive, const Text& a, const Text& b, const Text& c) {
  ipc::ReplyBody reply;
  reply.text = u"stale";
  const RequestInputs in{opCode, hive, a, b, c, std::nullopt};
  SystemReply r{DispatchRequest(SystemOperations(), in, reply), reply.text};
  if (reply.source) {
    if (!reply.source->Load()) {
      r.status = static_cast<RequestStatus>(reply.unloadedStatus);
      r.text.clear();
      return r;
    }
    // In uneven pieces, as a channel with a chunk that is no multiple of a byte's digits
    // would ask: a piece may begin or end between the two digits of a byte.
    std::vector<uint8_t> piece;
    r.text.clear();
    for (uint64_t left = reply.source->Units(); left != 0;) {
      const size_t units = static_cast<size_t>(left < 7 ? left : 7);
      piece.assign(units * 2, 0);
      // A connection would end here without a reply: a text no file gives stands for that.
      if (!reply.source->Produce(piece.data(), units)) {
        r.text = u"(lost part-way)";
        return r;
      }
      for (size_t i = 0; i < units; ++i) r.text.push_back(static_cast<char16_t>(piece[2 * i] | piece[2 * i + 1] << 8));
      left -= units;
    }
  }
  return r;
}

SystemReply SystemRequest(RequestOp op, int32_t hive, const Text& a, const Text& b, const Text& c) {
  return SystemRequest(static_cast<int32_t>(op), hive, a, b, c);
}
