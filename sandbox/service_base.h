// SPDX-License-Identifier: Apache-2.0
// The service framework: the base of every service, the converters that turn decoded
// parameters into a service's typed inputs and its outputs into reply parameters, and the
// five-in/two-out service shape of the broker request. Templates over the channel, so the
// product instantiates them with the named-pipe channel and tests with their own.
#pragma once
#include <cstdint>
#include <utility>
#include "base/debug_line.h"
#include "base/protocol.h"
#include "base/request_inputs.h"
#include "base/text.h"
#include "ipc/channel.h"
#include "ipc/param.h"
#include "ipc/reply_body.h"

namespace tarnvel::sandbox {

// Written for a wrong parameter count and for a wrong parameter type alike.
constexpr const char* ArgErrorLine = "!! svc:OnMsgArgCountError";
// Written when serving a request threw.
constexpr const char* RequestThrewLine = "[TarnvelBroker] request threw; reported as failed\n";

template <class Channel>
class SandboxPISvcBase : public ipc::MsgHandlerBase<Channel>, public ipc::MsgOut<Channel> {
 public:
  // Both argument errors drop the message without a reply; the loop goes on.
  bool OnMsgArgCountError(uint32_t) override {
    DebugLine(ArgErrorLine);
    return false;
  }
  bool OnMsgArgConvertError(int32_t) override {
    DebugLine(ArgErrorLine);
    return false;
  }

 protected:
  ~SandboxPISvcBase() = default;

  // What every service checks of a message the channel delivered, in this order: the id
  // (`ownId`, else ResultNoHandler), the count, then the types, converted into `in`. False,
  // with the result OnMsgIn returns in `refused`, when the message is not to be served.
  template <class InConverter>
  bool TakeInputs(int32_t ownId, int32_t id, ipc::Param* const* params, uint32_t count,
                  typename InConverter::Inputs& in, int64_t& refused) {
    if (id != ownId) {
      refused = ipc::ResultNoHandler;
      return false;
    }
    if (count != InConverter::InputCount) {
      refused = this->OnMsgArgCountError(count) ? 1 : 0;
      return false;
    }
    int32_t expected = 0;
    if (!InConverter::Convert(params, in, expected)) {
      refused = this->OnMsgArgConvertError(expected) ? 1 : 0;
      return false;
    }
    return true;
  }
};

template <int32_t MessageId>
struct MsgParamConverter;

// Broker request (id 6): op code, hive selector, texts A, B and C.
template <>
struct MsgParamConverter<MessageId::Request> {
  static constexpr uint32_t InputCount = 5;
  using Inputs = RequestInputs;
  // Stops at the first mismatch and names the type code that was expected. Texts are
  // moved out: the decoded list is cleared as soon as the handler returns.
  static bool Convert(ipc::Param* const* params, Inputs& in, int32_t& expectedType) {
    if (!ToInt(*params[0], in.opCode) || !ToInt(*params[1], in.hiveSelector)) {
      expectedType = ipc::Int32Kind2;
      return false;
    }
    if (!ToText(*params[2], in.textA) || !ToText(*params[3], in.textB) || !ToText(*params[4], in.textC)) {
      expectedType = ipc::String16;
      return false;
    }
    in.dataC = std::move(params[4]->hex);
    return true;
  }
  // Gives the texts' memory back (a write's data is the largest thing a request holds).
  static void Release(Inputs& in) noexcept {
    Text().swap(in.textA);
    Text().swap(in.textB);
    Text().swap(in.textC);
    in.dataC.reset();
  }

 private:
  static bool ToInt(const ipc::Param& p, int32_t& out) {
    if (p.type != ipc::Int32Kind2) return false;
    out = static_cast<int32_t>(p.value);
    return true;
  }
  static bool ToText(ipc::Param& p, Text& out) {
    if (p.type == ipc::String16) {
      out = std::move(p.string16);  // empty when held as hexadecimal bytes
      return true;
    }
    if (p.type == ipc::NullString16) {
      out.clear();
      return true;
    }
    return false;
  }
};

// Broker reply (id 7): status and reply text.
template <>
struct MsgParamConverter<MessageId::Reply> {
  static void Build(int32_t status, Text&& text, ipc::Param (&out)[2]) {
    BuildStatus(status, out[0]);
    out[1] = ipc::Param::Text16(std::move(text), ipc::String16);
  }
  // The status alone, for a reply whose text a source produces in its place.
  static void BuildStatus(int32_t status, ipc::Param& out) { out = ipc::Param::Int32(status, ipc::Int32Kind2); }
};

// Plug-in channel request (id 3): the plug-in's process id.
template <>
struct MsgParamConverter<MessageId::PluginPipeRequest> {
  static constexpr uint32_t InputCount = 1;
  struct Inputs {
    int32_t processId = 0;
  };
  static bool Convert(ipc::Param* const* params, Inputs& in, int32_t& expectedType) {
    if (params[0]->type != ipc::Int32Kind4) {
      expectedType = ipc::Int32Kind4;
      return false;
    }
    in.processId = static_cast<int32_t>(params[0]->value);
    return true;
  }
};

// A service with five inputs and two outputs: request RequestId, reply ReplyId.
template <class InConverter, class OutConverter, class Service, int32_t ReplyId, int32_t RequestId, class Channel>
class ServerTuple_5_2 : public SandboxPISvcBase<Channel>, public ipc::MsgIn<RequestId, Service, Channel> {
 public:
  using Inputs = typename InConverter::Inputs;

  int64_t OnMsgIn(int32_t id, Channel& channel, ipc::Param* const* params, uint32_t count) override {
    Inputs in{};
    int64_t refused = ipc::ResultHandled;
    if (!this->template TakeInputs<InConverter>(RequestId, id, params, count, in, refused)) return refused;
    return Serve(channel, in);
  }

  // The reply text, or a source of it, goes into `reply`, which arrives empty.
  virtual void OnRequest(const Inputs& in, int32_t& status, ipc::ReplyBody& reply) = 0;

  // The one catch of a request: anything an operation, or the reply's own text, throws
  // (memory exhausted, above all) is answered with status 3 and an empty text. The request's
  // texts are given back before the reply goes out, so that once the host has its answer
  // the broker holds nothing more of the request.
  static constexpr int32_t FailedStatus = static_cast<int32_t>(RequestStatus::Failed);

 protected:
  ~ServerTuple_5_2() = default;

 private:
  int64_t Serve(Channel& channel, Inputs& in) {
    int32_t status = FailedStatus;
    ipc::ReplyBody reply;
    try {
      OnRequest(in, status, reply);
      InConverter::Release(in);
      if (reply.source) {
        ipc::Param head;
        OutConverter::BuildStatus(status, head);
        const int64_t sent = this->SendMsg(channel, ReplyId, &head, 1, *reply.source);
        if (sent != ipc::ResultEncodeFailed && sent != ipc::ResultTextUnfilled) return sent;
        status = sent == ipc::ResultTextUnfilled ? reply.unloadedStatus : FailedStatus;
        reply.Clear();
      }
    } catch (...) {
      DebugLine(RequestThrewLine);
      status = FailedStatus;
      reply.Clear();
    }
    InConverter::Release(in);
    ipc::Param out[2];
    OutConverter::Build(status, std::move(reply.text), out);
    const int64_t sent = this->SendMsg(channel, ReplyId, out, 2);
    if (sent != ipc::ResultEncodeFailed) return sent;
    // A reply text no message can carry (beyond MaxTotalWords) is a failed request, not a
    // broken connection: the requester hears status 3 and the next request is served.
    OutConverter::Build(FailedStatus, Text(), out);
    return this->SendMsg(channel, ReplyId, out, 2);
  }
};

}  // namespace tarnvel::sandbox
