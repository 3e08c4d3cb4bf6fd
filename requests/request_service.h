// SPDX-License-Identifier: Apache-2.0
// The broker request (message id 6, reply id 7): one service whose dispatcher picks the
// operation by op code, applies the policy that guards it, runs it and fills a status and
// a reply text.
#pragma once
#include <cstdint>
#include "base/text.h"
#include "requests/dispatcher.h"
#include "requests/request_ops.h"
#include "sandbox/service_base.h"

#ifdef _WIN32
class AppDataFileReader;

// The system's registry, file, shell and network operations behind the dispatcher.
RequestOperations& SystemOperations();

// The dispatcher of requests/dispatcher.h over the system's operations.
[[nodiscard]] RequestStatus DispatchRequest(int32_t opCode, int32_t hiveSelector, const Text& textA, const Text& textB,
                                            const Text& textC, Text& replyText);

class TarnvelBrokerRegistrySvc
    : public ServerTuple_5_2<MsgParamConverter<MessageId::Request>, MsgParamConverter<MessageId::Reply>,
                             TarnvelBrokerRegistrySvc, MessageId::Reply, MessageId::Request, BrokerChannel> {
 public:
  // Never lets an exception out: anything thrown becomes status 3 with an empty text.
  void OnRequest(const int32_t opCode, const int32_t hiveSelector, const Text& textA, const Text& textB,
                 const Text& textC, int32_t& status, Text& replyText) override;

  // Serves op 14 with the file's hex text written straight into the reply message, every
  // other request through OnRequest. Found by the request dispatch in place of the base's.
  int64_t Serve(BrokerChannel& channel, Inputs& in);

 private:
  int64_t SendFileReply(BrokerChannel& channel, AppDataFileReader& file);
};

// The process-wide instance, created on first use and never destroyed.
TarnvelBrokerRegistrySvc& BrokerRequestService();
#endif
