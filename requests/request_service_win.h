// SPDX-License-Identifier: Apache-2.0
// The broker request (message id 6, reply id 7): one service whose dispatcher picks the
// operation by op code, judges its texts, runs it on the system and fills a status and a
// reply body, which the service binding encodes and sends.
#pragma once
#include <cstdint>
#include "base/text.h"
#include "ipc/reply_body.h"
#include "requests/dispatcher.h"
#include "sandbox/broker_channel_win.h"
#include "sandbox/service_base.h"

namespace tarnvel::requests {

// The system's registry, file, shell and network operations behind the dispatcher.
RequestOperations& SystemOperations();

class TarnvelBrokerRegistrySvc
    : public sandbox::ServerTuple_5_2<sandbox::MsgParamConverter<MessageId::Request>,
                                      sandbox::MsgParamConverter<MessageId::Reply>, TarnvelBrokerRegistrySvc,
                                      MessageId::Reply, MessageId::Request, sandbox::BrokerChannel> {
 public:
  // The dispatcher over the system's operations; anything it throws is answered by the
  // binding (status 3, an empty text).
  void OnRequest(const RequestInputs& in, int32_t& status, ipc::ReplyBody& reply) override;
};

// The process-wide instance, created on first use and never destroyed.
TarnvelBrokerRegistrySvc& BrokerRequestService();

}  // namespace tarnvel::requests
