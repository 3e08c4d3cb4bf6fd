// SPDX-License-Identifier: Apache-2.0
// The fault layer (scripts/fault-test.sh runs it with size-limited file systems mounted):
// each act that replaces a file (data-file write, copy-in, export) meets a full disk, with
// new data below, at and above the limit, and a broker ended by TerminateProcess at points
// spread over the act. After every fault the destination holds exactly the old bytes or
// exactly the new ones (the new ones only after status 0), at most one fresh file of the
// broker's ("~tarnvel-*.tmp") stays beside it, and a broker started afresh serves.
//
// Usage: fault_layer.exe LIMIT_BYTES DEATH_BYTES DEATH_POINTS
// The full folders are "full" below R\tarnvel0fa17e57, T\tarnvel-faults and
// C:\tarnvel-faults, each a file system of LIMIT_BYTES; "disk" beside each is not.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/wide_text_win.h"
#include "tarnvel/protocol.h"
#include "sdk/raw/raw_client_win.h"
#include "tests/support/wine_path_win.h"

using namespace tarnvel;

using namespace tarnvel::host;
using Op = tarnvel::protocol::RequestOp;
using Bytes = std::vector<uint8_t>;

namespace {

int faults = 0, checked = 0, leftovers = 0, failures = 0;

void Fail(const std::string& what) {
  ++failures;
  std::printf("FAIL %s\n", what.c_str());
}

Text Folder(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  return SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer) == S_OK ? FromWide(buffer) : Text();
}

bool Put(const Text& path, const Bytes& bytes) {
  UniqueHandle h(CreateFileW(WidePtr(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD n = 0;
  return h && (bytes.empty() ||
               (WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size()));
}

Bytes Get(const Text& path) {
  UniqueHandle h(CreateFileW(WidePtr(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  Bytes out;
  LARGE_INTEGER size{};
  if (!h || !GetFileSizeEx(h.get(), &size)) return out;
  out.resize(static_cast<size_t>(size.QuadPart));
  DWORD n = 0;
  if (!out.empty() && (!ReadFile(h.get(), out.data(), static_cast<DWORD>(out.size()), &n, nullptr) || n != out.size()))
    out.clear();
  return out;
}

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 131 + (i >> 12) + seed);
  return b;
}

// Counts and removes the broker's fresh files in a folder (a death may leave one).
int TakeLeftovers(const Text& folder) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(WidePtr(folder + u"\\~tarnvel-*.tmp"), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do {
    ++count;
    DeleteFileW(WidePtr(folder + u"\\" + FromWide(found.cFileName)));
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return count;
}

enum class Act { Write, CopyIn, Export };
const char* const ActNames[] = {"data-file write", "copy-in", "export"};

// One act on one place ("full" or "disk"): its folder, destination and request.
struct Place {
  Act act;
  Text folder;
  Text destination;
  Text source;  // copies only
};

Place Where(Act act, const char* kind) {
  static const Text data = Folder(CSIDL_APPDATA) + u"\\tarnvel0fa17e57\\";
  static const Text temp = Folder(CSIDL_LOCAL_APPDATA) + u"\\Temp\\tarnvel-faults\\";
  static const Text out = u"C:\\tarnvel-faults\\";
  const Text k = AsciiText(kind);
  switch (act) {
    case Act::Write:
      return {act, data + k, data + k + u"\\notes.bin", Text()};
    case Act::CopyIn:
      return {act, temp + k, temp + k + u"\\in.png", data + u"disk\\source.png"};
    default:
      return {act, out + k, out + k + u"\\out.png", temp + u"disk\\source.png"};
  }
}

std::vector<uint8_t> Request(const Place& p, const Bytes& fresh) {
  if (p.act != Act::Write) {
    Put(p.source, fresh);
    return HostConnection::EncodeRequest(static_cast<int32_t>(p.act == Act::CopyIn ? Op::CopyFileIn : Op::ExportFile),
                                         0, p.source, p.destination, Text());
  }
  Text hex;
  hex.reserve(fresh.size() * 2);
  for (uint8_t b : fresh) {
    hex.push_back(static_cast<char16_t>("0123456789abcdef"[b >> 4]));
    hex.push_back(static_cast<char16_t>("0123456789abcdef"[b & 15]));
  }
  return HostConnection::EncodeRequest(static_cast<int32_t>(Op::WriteAppDataFile), 0, p.destination, Text(), hex);
}

// The destination holds exactly the old or exactly the new bytes (new only after status 0).
void Check(const Place& p, const Bytes& old, const Bytes& fresh, int status, const std::string& fault) {
  ++checked;
  const Bytes now = Get(p.destination);
  const bool isNew = now == fresh, isOld = now == old;
  if (!isNew && !isOld) Fail(fault + ": the destination is torn (" + std::to_string(now.size()) + " bytes)");
  if (status == 0 && !isNew) Fail(fault + ": status 0 without the new bytes");
  if (status > 0 && !isOld) Fail(fault + ": status " + std::to_string(status) + " without the old bytes");
  const int left = TakeLeftovers(p.folder);
  leftovers += left;
  if (left > (status < 0 ? 1 : 0)) Fail(fault + ": " + std::to_string(left) + " fresh files left beside it");
}

struct Session {
  BrokerProcess broker;
  HostConnection pipe;
  bool Start(const std::wstring& exe) {
    StartOptions o;
    o.exe = exe;
    o.pipeName = MakeUniquePipeName(L"tarnvel-faults");
    Reply pong;
    return broker.Start(o) && pipe.Connect(o.pipeName, 20000, &broker) &&
           pipe.Request(static_cast<int32_t>(Op::Ping), 0, Text(), Text(), Text(), 20000, pong) == CallResult::Ok &&
           pong.text == u"pong";
  }
};

// Status of one whole act, and how long its reply took after the request was written.
int Run(Session& s, const std::vector<uint8_t>& request, ULONGLONG* sentMs, ULONGLONG* replyMs) {
  const ULONGLONG start = GetTickCount64();
  if (!s.pipe.WriteRaw(request, 120000)) return -1;
  if (sentMs) *sentMs = GetTickCount64() - start;
  Reply reply;
  if (s.pipe.ReadReply(120000, reply) != CallResult::Ok) return -1;
  if (replyMs) *replyMs = GetTickCount64() - start;
  return reply.status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const size_t limit = std::strtoul(argv[1], nullptr, 10), big = std::strtoul(argv[2], nullptr, 10);
  const int points = std::atoi(argv[3]);
  const std::wstring exe = WinePathFromUnix(TARNVEL_BROKER_EXE);
  const Act acts[] = {Act::Write, Act::CopyIn, Act::Export};

  // A full folder that is not a file system of the limit's size would test nothing.
  for (Act act : acts) {
    ULARGE_INTEGER total{};
    const Place full = Where(act, "full");
    if (!GetDiskFreeSpaceExW(WidePtr(full.folder), nullptr, &total, nullptr) || total.QuadPart != limit) {
      std::printf("FAIL %s: %ls is not a %zu-byte file system; nothing ran\n", ActNames[static_cast<int>(act)],
                  WidePtr(full.folder), limit);
      return 1;
    }
    CreateDirectoryW(WidePtr(Where(act, "disk").folder), nullptr);
  }

  // Disk full: an old file of a quarter of the limit, new data below, at and above the limit.
  Session s;
  if (!s.Start(exe)) Fail("the broker did not start");
  const size_t sizes[] = {limit / 2, limit, limit + limit / 2};
  for (Act act : acts) {
    const Place p = Where(act, "full");
    const Bytes old = Pattern(limit / 4, 1);
    for (size_t size : sizes) {
      const Bytes fresh = Pattern(size, 2);
      if (!Put(p.destination, old)) Fail("cannot place the old file");
      ++faults;
      const int status = Run(s, Request(p, fresh), nullptr, nullptr);
      Check(p, old, fresh, status,
            std::string(ActNames[static_cast<int>(act)]) + ", disk full, " + std::to_string(size) + " bytes");
      if (status < 0) Fail("no reply after a full disk");
    }
  }

  // Death: the act once whole for its time, then ended at points spread over it.
  for (Act act : acts) {
    const std::string name = std::string(ActNames[static_cast<int>(act)]) + ", death";
    const Place p = Where(act, "disk");
    // A data-file write carries its bytes as hexadecimal in one message of at most 64 MiB.
    const size_t size = act == Act::Write ? big / 32 : big;
    const Bytes old = Pattern(size / 8, 3), fresh = Pattern(size, 4);
    const std::vector<uint8_t> request = Request(p, fresh);
    ULONGLONG sent = 0, replied = 0;
    Put(p.destination, old);
    Session whole;
    if (!whole.Start(exe) || Run(whole, request, &sent, &replied) != 0) {
      Fail(name + ": the whole act failed, so no point inside it is known");
      continue;
    }
    Check(p, old, fresh, 0, name + ", whole");
    std::string ends;
    for (int i = 1; i <= points; ++i) {
      Put(p.destination, old);
      Session doomed;
      if (!doomed.Start(exe)) Fail(name + ": a fresh broker did not serve");
      const ULONGLONG start = GetTickCount64();
      doomed.pipe.WriteRaw(request, 120000);
      const ULONGLONG at = sent + (replied - sent) * i / (points + 1);
      const ULONGLONG gone = GetTickCount64() - start;
      if (at > gone) Sleep(static_cast<DWORD>(at - gone));
      doomed.broker.Terminate();
      ++faults;
      Check(p, old, fresh, -1, name + " at " + std::to_string(at) + " ms of " + std::to_string(replied));
      ends += " " + std::to_string(at);
    }
    std::printf("%s of %zu bytes: whole in %llu ms, ended at%s ms\n", name.c_str(), size, replied, ends.c_str());
  }

  // A broker started afresh serves every act.
  Session after;
  if (!after.Start(exe)) Fail("no broker served after the faults");
  for (Act act : acts) {
    const Place p = Where(act, "disk");
    const Bytes old = Pattern(100, 5), fresh = Pattern(1000, 6);
    Put(p.destination, old);
    Check(p, old, fresh, Run(after, Request(p, fresh), nullptr, nullptr), "after the faults");
    if (Get(p.destination) != fresh) Fail(std::string(ActNames[static_cast<int>(act)]) + " failed after the faults");
  }
  std::printf("fault layer: %d faults tried, %d destinations checked, %d fresh files left by deaths, %d failures\n",
              faults, checked, leftovers, failures);
  return failures == 0 ? 0 : 1;
}
