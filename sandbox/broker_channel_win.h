// SPDX-License-Identifier: Apache-2.0
// The broker's channel: the framework over the named-pipe transport.
#pragma once
#include "ipc/channel.h"
#include "ipc/pipe_transport_win.h"
#include "ipc/decoder.h"
#include "ipc/encoder.h"

namespace tarnvel::sandbox {

using BrokerChannel = ipc::Channel<ipc::PipeTransportWithMessagePump, ipc::Encoder, ipc::Decoder>;

}  // namespace tarnvel::sandbox
