// SPDX-License-Identifier: Apache-2.0
// Helpers of the ipc tests: messages as word lists and as the bytes on the pipe.
#pragma once
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>
#include "ipc/encoder.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

inline std::vector<uint8_t> WordsToBytes(const std::vector<uint64_t>& words) {
  std::vector<uint8_t> bytes;
  for (uint64_t w : words) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  return bytes;
}

inline std::vector<uint8_t> EncodeMessage(int32_t id, std::vector<Param> params,
                                          PointerWidth width = PointerWidth::Bits64) {
  ipc::Encoder encoder(width);
  encoder.Open(static_cast<uint32_t>(params.size()));
  for (Param& p : params) {
    if (!encoder.Add(p)) return {};
  }
  encoder.Finish(id);
  return std::vector<uint8_t>(encoder.Bytes(), encoder.Bytes() + encoder.ByteCount());
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A raw message: header with the given total (0: computed), the type words, TypeListEnd,
// the data words and MessageEnd.
inline std::vector<uint64_t> RawMessage(int32_t id, const std::vector<uint64_t>& types,
                                        const std::vector<uint64_t>& data, uint64_t total = 0) {
  std::vector<uint64_t> w = {ipc::HeaderMagic, static_cast<uint64_t>(id), types.size(), 0};
  w.insert(w.end(), types.begin(), types.end());
  w.push_back(ipc::TypeListEnd);
  w.insert(w.end(), data.begin(), data.end());
  w.push_back(ipc::MessageEnd);
  w[3] = total != 0 ? total : w.size();
  return w;
}

// Sign-extended type word, as writers store it.
inline uint64_t TypeWord(uint32_t codeAndFlags) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(codeAndFlags)));
}
