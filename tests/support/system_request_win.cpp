// SPDX-License-Identifier: Apache-2.0
#include "support/system_request_win.h"

#include <vector>
#include "ipc/reply_body.h"
#include "requests/request_service_win.h"

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;
using namespace tarnvel::sandbox;

SystemReply SystemRequest(int32_t opCode, int32_t hive, const Text& a, const Text& b, const Text& c) {
  ipc::ReplyBody reply;
  reply.text = u"stale";
  SystemReply r{DispatchRequest(SystemOperations(), opCode, hive, a, b, c, reply), reply.text};
  if (reply.source) {
    std::vector<uint8_t> room(static_cast<size_t>(reply.source->Units()) * 2);
    if (!reply.source->Fill(room.data())) {
      r.status = static_cast<RequestStatus>(reply.source->unfilledStatus());
      r.text.clear();
      return r;
    }
    r.text.resize(room.size() / 2);
    for (size_t i = 0; i < r.text.size(); ++i) {
      r.text[i] = static_cast<char16_t>(room[2 * i] | (room[2 * i + 1] << 8));
    }
  }
  return r;
}

SystemReply SystemRequest(RequestOp op, int32_t hive, const Text& a, const Text& b, const Text& c) {
  return SystemRequest(static_cast<int32_t>(op), hive, a, b, c);
}
