// SPDX-License-Identifier: Apache-2.0
// A bounded hostile-stream smoke against a real broker: a few hundred byte streams made from
// the decoder's fuzz corpus (whole, mutated, spliced) and from noise, each sent on a fresh
// connection. Every stream must end with the broker's exit code 0 within the time-out. This
// is where the x86 build meets hostile input, since libFuzzer cannot run 32-bit code here.
//
// Reproducible: the generator is seeded (TARNVEL_SMOKE_SEED, default below) and a failure
// names the stream's index and writes its bytes to a file beside the test's log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "ipc/decoder.h"
#include "tarnvel/protocol.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

using e2e::Broker;
using tarnvel::protocol::MessageId;
using tarnvel::protocol::RequestOp;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t DefaultSeed = 20261209;
constexpr int DefaultStreams = 300;

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10)) : fallback;
}

Bytes ReadAll(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  Bytes bytes;
  if (!file) return bytes;
  uint8_t buf[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buf, sizeof buf, &got, nullptr) && got != 0) bytes.insert(bytes.end(), buf, buf + got);
  return bytes;
}

// The corpus files hold one control byte for the fuzz harness, then the stream.
std::vector<Bytes> LoadSeeds() {
  std::vector<Bytes> seeds;
  const std::string dir = TARNVEL_FUZZ_CORPUS_DIR "/fuzz_decoder";
  WIN32_FIND_DATAW found;
  const std::wstring pattern = WinePathFromUnix(dir) + L"\\*";
  HANDLE find = FindFirstFileW(pattern.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return seeds;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const Bytes bytes = ReadAll(WinePathFromUnix(dir) + L"\\" + found.cFileName);
    if (bytes.size() > 1) seeds.emplace_back(bytes.begin() + 1, bytes.end());
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return seeds;
}

// Values that sit on the edges of the format's sizes and flags.
const uint32_t kEdgeWords[] = {0,
                               1,
                               5,
                               20,
                               21,
                               0x7FFFFFFF,
                               0x80000000,
                               0x40000000,
                               0x7FFFFFFC,
                               0x3FFFFFFF,
                               0xFFFFFFFF,
                               ipc::MaxTotalWords,
                               ipc::MaxTotalWords + 1,
                               0x80000019,
                               0x40000017,
                               ipc::HeaderMagic,
                               ipc::TypeListEnd,
                               ipc::MessageEnd};

class StreamMaker {
 public:
  StreamMaker(uint32_t seed, std::vector<Bytes> seeds) : rng_(seed), seeds_(std::move(seeds)) {}

  Bytes Next() {
    const uint32_t kind = Pick(10);
    if (kind == 0 || seeds_.empty()) return Noise();
    Bytes s = seeds_[Pick(static_cast<uint32_t>(seeds_.size()))];
    if (kind == 1) return s;  // the seed as it is
    const uint32_t edits = 1 + Pick(4);
    for (uint32_t i = 0; i < edits; ++i) Mutate(s);
    return s;
  }

 private:
  uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

  Bytes Noise() {
    Bytes s(8 + Pick(600));
    for (uint8_t& b : s) b = static_cast<uint8_t>(Pick(256));
    // Half of the noise starts as a plausible header, so that it gets past the first check.
    if (Pick(2) == 0 && s.size() >= 32) {
      const uint64_t header[4] = {ipc::HeaderMagic, MessageId::Request, 1 + Pick(20), 5 + Pick(200)};
      std::memcpy(s.data(), header, sizeof header);
    }
    return s;
  }

  void Mutate(Bytes& s) {
    if (s.empty()) s.resize(8);
    switch (Pick(6)) {
      case 0:  // flip a bit
        s[Pick(static_cast<uint32_t>(s.size()))] ^= static_cast<uint8_t>(1u << Pick(8));
        break;
      case 1: {  // an edge value into the low half of a word
        const size_t words = s.size() / 8;
        if (words == 0) break;
        const uint32_t v = kEdgeWords[Pick(sizeof kEdgeWords / sizeof kEdgeWords[0])];
        std::memcpy(&s[8 * Pick(static_cast<uint32_t>(words))], &v, sizeof v);
        break;
      }
      case 2:  // cut the stream short
        s.resize(Pick(static_cast<uint32_t>(s.size())) + 1);
        break;
      case 3: {  // splice another seed on
        if (seeds_.empty()) break;
        const Bytes& other = seeds_[Pick(static_cast<uint32_t>(seeds_.size()))];
        s.insert(s.end(), other.begin(), other.end());
        break;
      }
      case 4: {  // a run of random bytes
        const size_t at = Pick(static_cast<uint32_t>(s.size()));
        const size_t n = std::min<size_t>(s.size() - at, 1 + Pick(16));
        for (size_t i = 0; i < n; ++i) s[at + i] = static_cast<uint8_t>(Pick(256));
        break;
      }
      default:  // repeat the stream, so that a second message follows the first
        if (s.size() < 4096) s.insert(s.end(), s.begin(), s.end());
        break;
    }
  }

  std::mt19937 rng_;
  std::vector<Bytes> seeds_;
};

// Requests whose effects reach outside the throwaway prefix's own keys and folders (the
// shell, the network, copies to any path) are never sent: a stream carrying one is replaced.
// Decoding the whole stream over-approximates what the broker would act on.
bool ActsOutsideThePrefix(const Bytes& s) {
  ipc::Decoder d;
  d.Append(s.data(), s.size());
  for (;;) {
    if (d.Decode() != ipc::DecodeResult::Done) return false;
    const ParamList& list = d.list();
    if (list.id == MessageId::Request && list.count >= 1) {
      const auto op = static_cast<RequestOp>(list.params[0].value);
      if (op == RequestOp::ShellOpen || op == RequestOp::CopyFileIn || op == RequestOp::ExportFile ||
          op == RequestOp::StartHttpCheck) {
        return true;
      }
    }
    d.Reset();
  }
}

void Keep(const Bytes& s, uint32_t seed, int index) {
  char name[64];
  std::snprintf(name, sizeof name, "hostile-stream-%u-%d.bin", seed, index);
  std::ofstream(name, std::ios::binary)
      .write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
}

TEST(HostileStreams, EveryStreamEndsWithExitZeroAndNoHang) {
  const uint32_t seed = EnvNumber("TARNVEL_SMOKE_SEED", DefaultSeed);
  const int streams = static_cast<int>(EnvNumber("TARNVEL_SMOKE_STREAMS", DefaultStreams));
  std::vector<Bytes> seeds = LoadSeeds();
  ASSERT_GE(seeds.size(), 10u) << "the decoder's seed corpus was not found";
  StreamMaker maker(seed, std::move(seeds));
  int failures = 0;
  for (int i = 0; i < streams && failures < 5; ++i) {
    Bytes s = maker.Next();
    while (ActsOutsideThePrefix(s)) s = maker.Next();
    Broker b;
    if (!b.StartAndConnect()) {
      ADD_FAILURE() << "stream " << i << ": broker did not start";
      ++failures;
      continue;
    }
    b.conn.WriteRaw(s, e2e::ReplyMs);  // may fail once the broker has ended the connection
    const long code = b.CloseAndExitCode();
    if (code != 0) {
      Keep(s, seed, i);
      ADD_FAILURE() << "seed " << seed << " stream " << i << " (" << s.size() << " bytes): exit code " << code
                    << (code == -1 ? " (no exit: hang)" : "");
      ++failures;
    }
  }
}

}  // namespace
