// Encoder and decoder cost against a memcpy of the same bytes, measured in the same run.
// Every codec benchmark reports `x_memcpy`: its time per message divided by the time of one
// memcpy of the message's bytes (calibrated once per size at start-up), so 1.0 means "as fast
// as copying the bytes once". The memcpy benchmarks show the baseline on its own.
// Decode includes the Append that copies the bytes in from the transport's buffer (as the
// receive loop does); DecodeBuffered times the decoder's own pass alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <vector>

#include "ipc/wire_format.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<Param> TypicalRequest() {
  return {Param::Int32(1), Param::Int32(0), Param::Text16(u"software\\tarnvel\\settings"), Param::Text16(u"LastUsed"),
          Param::Text16(u"")};
}

std::vector<Param> LargeReply() {
  Text big(512 * 1024, u'x');  // 1 MiB of UTF-16 payload
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char16_t>(u'A' + i % 26);
  return {Param::Text16(std::move(big))};
}

std::vector<uint8_t> Encode(std::vector<Param> params) {
  ipc::Encoder e;
  e.Open(static_cast<uint32_t>(params.size()));
  for (Param& p : params) e.Add(p);
  e.Finish(6);
  return std::vector<uint8_t>(e.Bytes(), e.Bytes() + e.ByteCount());
}

// Nanoseconds for one memcpy of `bytes` bytes between warm buffers: the best of a few rounds.
double MemcpyNs(size_t bytes) {
  static std::map<size_t, double> cache;
  auto it = cache.find(bytes);
  if (it != cache.end()) return it->second;
  std::vector<uint8_t> src(bytes, 0x5A), dst(bytes);
  const size_t reps = std::max<size_t>(1, (size_t{256} << 20) / bytes);
  double best = 1e300;
  for (int round = 0; round < 7; ++round) {
    const auto t0 = Clock::now();
    for (size_t r = 0; r < reps; ++r) {
      benchmark::DoNotOptimize(src.data());
      std::memcpy(dst.data(), src.data(), bytes);
      benchmark::ClobberMemory();
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / reps;
    best = std::min(best, ns);
  }
  cache[bytes] = best;
  return best;
}

void ReportNs(benchmark::State& state, double totalNs, size_t bytes) {
  const double ns = totalNs / static_cast<double>(state.iterations());
  state.counters["x_memcpy"] = ns / MemcpyNs(bytes);
  state.counters["msg_bytes"] = static_cast<double>(bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void Report(benchmark::State& state, Clock::time_point start, size_t bytes) {
  ReportNs(state, std::chrono::duration<double, std::nano>(Clock::now() - start).count(), bytes);
}

// As MsgOut::SendMsg does it: a fresh encoder per message.
void EncodeBench(benchmark::State& state, std::vector<Param> params) {
  const size_t bytes = Encode(params).size();
  MemcpyNs(bytes);
  const auto start = Clock::now();
  for (auto _ : state) {
    ipc::Encoder e;
    e.Open(static_cast<uint32_t>(params.size()));
    for (Param& p : params) e.Add(p);
    e.Finish(6);
    benchmark::DoNotOptimize(e.Bytes());
  }
  Report(state, start, bytes);
}

// As the receive loop does it: one decoder reused; the bytes are appended (copied in from the
// transport's buffer), decoded, and the parameters released.
void DecodeBench(benchmark::State& state, std::vector<Param> params) {
  const std::vector<uint8_t> bytes = Encode(std::move(params));
  MemcpyNs(bytes.size());
  ipc::Decoder d;
  const auto start = Clock::now();
  for (auto _ : state) {
    d.Append(bytes.data(), bytes.size());
    if (d.Decode() != ipc::DecodeResult::Done) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(d.list().params[0].value);
    d.list().Clear();
    d.Reset();
  }
  Report(state, start, bytes.size());
}

// The decoder's own pass alone: the bytes are appended outside the timed part.
void DecodeBufferedBench(benchmark::State& state, std::vector<Param> params) {
  const std::vector<uint8_t> bytes = Encode(std::move(params));
  MemcpyNs(bytes.size());
  ipc::Decoder d;
  double totalNs = 0;
  for (auto _ : state) {
    d.Append(bytes.data(), bytes.size());
    const auto t0 = Clock::now();
    if (d.Decode() != ipc::DecodeResult::Done) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(d.list().params[0].value);
    d.list().Clear();
    d.Reset();
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    totalNs += ns;
    state.SetIterationTime(ns * 1e-9);
  }
  ReportNs(state, totalNs, bytes.size());
}

void MemcpyBench(benchmark::State& state, std::vector<Param> params) {
  const std::vector<uint8_t> src = Encode(std::move(params));
  std::vector<uint8_t> dst(src.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(src.data());
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
}

void BM_Request_Encode(benchmark::State& s) { EncodeBench(s, TypicalRequest()); }
void BM_Request_Decode(benchmark::State& s) { DecodeBench(s, TypicalRequest()); }
void BM_Request_Memcpy(benchmark::State& s) { MemcpyBench(s, TypicalRequest()); }
void BM_String16_1MiB_Encode(benchmark::State& s) { EncodeBench(s, LargeReply()); }
void BM_String16_1MiB_Decode(benchmark::State& s) { DecodeBench(s, LargeReply()); }
void BM_String16_1MiB_DecodeBuffered(benchmark::State& s) { DecodeBufferedBench(s, LargeReply()); }
void BM_String16_1MiB_Memcpy(benchmark::State& s) { MemcpyBench(s, LargeReply()); }

BENCHMARK(BM_Request_Encode);
BENCHMARK(BM_Request_Decode);
BENCHMARK(BM_Request_Memcpy);
BENCHMARK(BM_String16_1MiB_Encode);
BENCHMARK(BM_String16_1MiB_Decode);
BENCHMARK(BM_String16_1MiB_DecodeBuffered)->UseManualTime();
BENCHMARK(BM_String16_1MiB_Memcpy);

}  // namespace

BENCHMARK_MAIN();
