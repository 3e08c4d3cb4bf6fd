// SPDX-License-Identifier: Apache-2.0
// A broker request's inputs as its service receives them.
#pragma once
#include <cstdint>
#include <optional>
#include "base/hex.h"
#include "base/text.h"

namespace tarnvel {

struct RequestInputs {
  int32_t opCode = 0;
  int32_t hiveSelector = 0;
  Text textA, textB, textC;
  // A data-file write's text C, taken as the bytes its digits spell while the message
  // arrived; textC is then empty. Without it, text C is decoded where it is used.
  std::optional<DecodedHex> dataC;
};

}  // namespace tarnvel
