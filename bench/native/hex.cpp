// SPDX-License-Identifier: Apache-2.0
// Hexadecimal text of a 4 MiB file (the largest read) against two baselines measured in
// the same run: a plain widening copy of the same bytes into a text of the same length
// (the floor), and a straightforward per-character coder (what the tables replace).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/hex.h"

using namespace tarnvel;

namespace {

constexpr size_t kSize = 4u << 20;

std::vector<uint8_t> Input() {
  std::vector<uint8_t> v(kSize);
  uint32_t x = 12345;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

Text NaiveEncode(const std::vector<uint8_t>& bytes) {
  Text out;
  for (uint8_t b : bytes) {
    out.push_back(static_cast<char16_t>("0123456789abcdef"[b >> 4]));
    out.push_back(static_cast<char16_t>("0123456789abcdef"[b & 15]));
  }
  return out;
}

int NaiveNibble(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool NaiveDecode(const Text& text, std::vector<uint8_t>& out) {
  if (text.size() % 2) return false;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int h = NaiveNibble(text[i]), l = NaiveNibble(text[i + 1]);
    if (h < 0 || l < 0) return false;
    bytes.push_back(static_cast<uint8_t>(h * 16 + l));
  }
  out.swap(bytes);
  return true;
}

void BM_WidenCopyBaseline(benchmark::State& state) {
  const auto in = Input();
  for (auto _ : state) {
    Text out(kSize * 2, u'\0');
    for (size_t i = 0; i < kSize; ++i) out[2 * i] = out[2 * i + 1] = in[i];
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}

void BM_EncodeNaive(benchmark::State& state) {
  const auto in = Input();
  for (auto _ : state) benchmark::DoNotOptimize(NaiveEncode(in));
  state.SetBytesProcessed(state.iterations() * kSize);
}

void BM_EncodeHexLower(benchmark::State& state) {
  const auto in = Input();
  for (auto _ : state) benchmark::DoNotOptimize(EncodeHexLower(in.data(), in.size()));
  state.SetBytesProcessed(state.iterations() * kSize);
}

// As a read's reply makes its text: into one kept chunk of the channel's size, again and again.
void BM_EncodeIntoReplyChunk(benchmark::State& state) {
  const auto in = Input();
  constexpr size_t kChunkUnits = 786432 / 2;
  std::vector<uint8_t> chunk(kChunkUnits * 2);
  for (auto _ : state) {
    for (size_t unit = 0; unit < 2 * kSize; unit += kChunkUnits) {
      const size_t units = std::min(kChunkUnits, 2 * kSize - unit);
      EncodeHexUtf16Le(in.data(), unit, units, chunk.data());
      benchmark::DoNotOptimize(chunk.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}

void BM_DecodeNaive(benchmark::State& state) {
  const auto in = Input();
  const Text text = EncodeHexLower(in.data(), in.size());
  std::vector<uint8_t> out;
  for (auto _ : state) benchmark::DoNotOptimize(NaiveDecode(text, out));
  state.SetBytesProcessed(state.iterations() * kSize);
}

void BM_DecodeHex(benchmark::State& state) {
  const auto in = Input();
  const Text text = EncodeHexLower(in.data(), in.size());
  std::vector<uint8_t> out;
  for (auto _ : state) benchmark::DoNotOptimize(DecodeHex(text, out));
  state.SetBytesProcessed(state.iterations() * kSize);
}

BENCHMARK(BM_WidenCopyBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeNaive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeHexLower)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeIntoReplyChunk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeNaive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeHex)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
