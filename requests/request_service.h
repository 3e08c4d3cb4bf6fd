// The broker request (message id 6, reply id 7): one service whose dispatcher picks the
// operation by op code, applies the policy that guards it, runs it and fills a status and
// a reply text.
#pragma once
#include <cstdint>
#include "base/text.h"
#include "requests/request_ops.h"
#include "sandbox/service_base.h"

#ifdef _WIN32
class AppDataFileReader;

// Decides in a fixed order: ping; the ops that judge their own inputs (shell open, URL
// check start and poll, file copy, file export, copy tree); then the general policy stage
// (data-folder check for ops 14-17, registry key check for every other code, unknown ones
// included) before the op code is even looked at; then the operation.
RequestStatus DispatchRequest(int32_t opCode, int32_t hiveSelector, const Text& textA, const Text& textB,
                              const Text& textC, Text& replyText, AppDataFileReader* fileReply = nullptr);
// With `fileReply`, an allowed op 14 only opens its file there (the status says whether it
// could) and leaves the reading to whoever builds the reply.

class TarnvelBrokerRegistrySvc
    : public ServerTuple_5_2<MsgParamConverter<6>, MsgParamConverter<7>, TarnvelBrokerRegistrySvc, 7, 6,
                             BrokerChannel> {
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
