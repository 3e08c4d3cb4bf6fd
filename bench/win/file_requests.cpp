// A 4 MiB read request (op 14) and a 4 MiB write request (op 15) end to end through a
// real broker, each next to a bare transfer of the same bytes through a named pipe in the
// same run, and the broker's peak working set. Each kind of request gets a broker of its
// own, so that each peak belongs to one kind.
//
// Usage: bench_file_requests [broker exe]   (default: dist/<arch>/TarnvelBroker.exe of the
// source tree, under Wine as a Z:\ path)
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_handle.h"
#include "base/win_text.h"
#include "ipc/pipe_transport.h"
#include "ipc/wire_format.h"
#include "tools/host_client/host_client.h"

namespace {

constexpr size_t FileSize = 4194304;
constexpr int Warmup = 2;
constexpr int Rounds = 9;
constexpr int32_t OpReadFile = 14;
constexpr int32_t OpWriteFile = 15;
constexpr double RequestTargetRatio = 4.0;
constexpr double WorkingSetTargetRatio = 6.0;

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool WriteAll(HANDLE pipe, const uint8_t* data, size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(pipe, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool ReadExact(HANDLE pipe, uint8_t* data, size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
    DWORD got = 0;
    if (!ReadFile(pipe, data, chunk, &got, nullptr) || got == 0) return false;
    data += got;
    size -= got;
  }
  return true;
}

// One whole message: the header's total word count says how many bytes follow.
bool ReadMessageBytes(HANDLE pipe, std::vector<uint8_t>& bytes) {
  bytes.resize(32);
  if (!ReadExact(pipe, bytes.data(), 32)) return false;
  uint64_t total = 0;
  std::memcpy(&total, bytes.data() + 24, 8);
  total &= 0xFFFFFFFFu;
  if (total < 6 || total > ipc::MaxTotalWords) return false;
  bytes.resize(static_cast<size_t>(total) * 8);
  return ReadExact(pipe, bytes.data() + 32, bytes.size() - 32);
}

// Status and text length of a reply 7; false for anything else.
bool DecodeReply(const std::vector<uint8_t>& bytes, int32_t& status, size_t& textLength) {
  ipc::Decoder decoder;
  decoder.Append(bytes.data(), bytes.size());
  if (decoder.Decode() != ipc::DecodeResult::Done) return false;
  const ParamList& list = decoder.list();
  if (list.id != tarnvel_host::ReplyId || list.count != 2) return false;
  status = static_cast<int32_t>(list.params[0].value);
  textLength = list.params[1].string16.size();
  return true;
}

UniqueHandle ConnectClient(const std::wstring& pipePath, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    UniqueHandle pipe(CreateFileW(pipePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    if (GetTickCount64() >= deadline) return UniqueHandle();
    Sleep(20);
  }
}

size_t PeakWorkingSet(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize;
}

// The client side of both baselines: writes the request, reads the whole reply, and times
// each round after the warm-up; the pipe is closed before returning.
std::vector<double> TimeClientRounds(const wchar_t* name, size_t requestBytes, size_t replyBytes) {
  UniqueHandle client = ConnectClient(name, 5000);
  std::vector<double> times;
  std::vector<uint8_t> request(requestBytes, 0xa5), reply(replyBytes);
  for (int i = 0; client && i < Warmup + Rounds; ++i) {
    const double start = Now();
    if (!WriteAll(client.get(), request.data(), request.size()) || !ReadExact(client.get(), reply.data(), reply.size()))
      break;
    if (i >= Warmup) times.push_back(Now() - start);
  }
  return times;
}

// The bare baseline: a server thread reads `requestBytes` and answers `replyBytes`, with no
// decoding, no file and no hexadecimal, over the same kind of pipe the broker serves.
double BareTransfer(size_t requestBytes, size_t replyBytes) {
  wchar_t name[96];
  swprintf(name, 96, L"\\\\.\\pipe\\tarnvel-bench-bare.%lx.%llx", static_cast<unsigned long>(GetCurrentProcessId()),
           static_cast<unsigned long long>(GetTickCount64()));
  UniqueHandle server(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                       65536, 65536, 0, nullptr));
  if (!server) return -1;
  const int total = Warmup + Rounds;
  bool serverOk = true;
  std::thread peer([&] {
    if (!ConnectNamedPipe(server.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
      serverOk = false;
      return;
    }
    std::vector<uint8_t> in(requestBytes), out(replyBytes, 0x5a);
    for (int i = 0; i < total && serverOk; ++i)
      serverOk = ReadExact(server.get(), in.data(), in.size()) && WriteAll(server.get(), out.data(), out.size());
  });
  std::vector<double> times = TimeClientRounds(name, requestBytes, replyBytes);
  if (!serverOk || times.size() != static_cast<size_t>(Rounds)) {
    DisconnectNamedPipe(server.get());
    peer.join();
    return -1;
  }
  peer.join();
  return Median(times);
}

// The same bytes served by the broker's own pipe and transport (overlapped I/O with an event
// per operation, reads of at most 4096 bytes, the reply in one write), with no decoding, no
// file and no hexadecimal: what the broker's design costs before any work is done.
double TransportTransfer(size_t requestBytes, size_t replyBytes) {
  wchar_t name[96];
  swprintf(name, 96, L"\\\\.\\pipe\\tarnvel-bench-transport.%lx.%llx",
           static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long long>(GetTickCount64()));
  HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                   4096, 4096, 2000, nullptr);
  if (server == INVALID_HANDLE_VALUE) return -1;
  const int total = Warmup + Rounds;
  bool serverOk = true;
  PipeTransportWithMessagePump transport;
  std::thread peer([&] {
    serverOk = transport.Open(server, true);
    std::vector<uint8_t> out(replyBytes, 0x5a);
    for (int i = 0; i < total && serverOk; ++i) {
      size_t got = 0;
      while (serverOk && got < requestBytes) {
        size_t n = 0;
        serverOk = transport.Read(n) != nullptr;
        got += n;
      }
      serverOk = serverOk && transport.Write(out.data(), out.size());
    }
  });
  std::vector<double> times = TimeClientRounds(name, requestBytes, replyBytes);
  peer.join();  // a server still reading saw the client's end close and stopped
  if (!serverOk || times.size() != static_cast<size_t>(Rounds)) return -1;
  return Median(times);
}

struct BrokerRun {
  bool ok = false;
  double seconds = 0;     // median of one request, written until its reply fully arrived
  size_t requestBytes = 0;
  size_t replyBytes = 0;
  size_t peakBefore = 0;  // broker connected, no request served yet
  size_t peakAfter = 0;
};

BrokerRun RunBroker(const std::wstring& exe, const std::vector<uint8_t>& request, size_t expectedTextLength) {
  BrokerRun run;
  run.requestBytes = request.size();
  tarnvel_host::BrokerProcess broker;
  tarnvel_host::StartOptions options;
  options.exe = exe;
  options.pipeName = tarnvel_host::MakeUniquePipeName(L"tarnvel-bench");
  if (!broker.Start(options)) {
    fprintf(stderr, "cannot start the broker (error %lu)\n", static_cast<unsigned long>(broker.startError()));
    return run;
  }
  UniqueHandle pipe = ConnectClient(L"\\\\.\\pipe\\" + options.pipeName, 10000);
  if (!pipe) {
    fprintf(stderr, "cannot connect to the broker (error %lu)\n", static_cast<unsigned long>(GetLastError()));
    return run;
  }
  Sleep(200);  // let the broker settle after the connection before the first reading
  run.peakBefore = PeakWorkingSet(broker.process());

  std::vector<double> times;
  std::vector<uint8_t> reply;
  for (int i = 0; i < Warmup + Rounds; ++i) {
    const double start = Now();
    if (!WriteAll(pipe.get(), request.data(), request.size()) || !ReadMessageBytes(pipe.get(), reply)) {
      fprintf(stderr, "request %d: the broker did not answer\n", i);
      return run;
    }
    const double elapsed = Now() - start;
    int32_t status = -1;
    size_t textLength = 0;
    if (!DecodeReply(reply, status, textLength) || status != 0 || textLength != expectedTextLength) {
      fprintf(stderr, "request %d: unexpected reply (status %d, %zu units)\n", i, static_cast<int>(status), textLength);
      return run;
    }
    if (i >= Warmup) times.push_back(elapsed);
  }
  run.replyBytes = reply.size();
  run.peakAfter = PeakWorkingSet(broker.process());
  pipe.reset();
  DWORD code = 0;
  broker.WaitForExit(10000, &code);
  run.seconds = Median(times);
  run.ok = true;
  return run;
}

std::wstring DefaultBrokerExe() {
  std::string source = __FILE__;
  const size_t at = source.rfind("bench/win/");
  if (at == std::string::npos) return std::wstring();
  const char* arch = sizeof(void*) == 8 ? "x64" : "x86";
  return tarnvel_host::WinePathFromUnix(source.substr(0, at) + "dist/" + arch + "/TarnvelBroker.exe");
}

std::wstring Widen(const char* s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  std::wstring out(n > 0 ? static_cast<size_t>(n - 1) : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s, -1, &out[0], n);
  return out;
}

Text HexOf(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  Text out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(static_cast<char16_t>(digits[b >> 4]));
    out.push_back(static_cast<char16_t>(digits[b & 15]));
  }
  return out;
}

bool Report(const char* what, const BrokerRun& run, double bare, double bareShaped) {
  const double ratio = run.seconds / bare;
  const double peakRatio = static_cast<double>(run.peakAfter) / FileSize;
  printf("%s\n", what);
  printf("  bytes on the pipe:      request %zu, reply %zu\n", run.requestBytes, run.replyBytes);
  printf("  broker request:         %8.2f ms (median of %d)\n", run.seconds * 1e3, Rounds);
  printf("  bare pipe transfer:     %8.2f ms (same bytes, same run)\n", bare * 1e3);
  printf("  ratio:                  %8.2f x   (target < %.0f x: %s)\n", ratio, RequestTargetRatio,
         ratio < RequestTargetRatio ? "met" : "MISSED");
  printf("  broker's own transport: %8.2f ms (same bytes, no work); ratio %.2f x\n", bareShaped * 1e3,
         run.seconds / bareShaped);
  printf("  broker peak working set: %6.1f MiB before, %6.1f MiB after = %.2f x the file (target < %.0f x: %s)\n",
         run.peakBefore / 1048576.0, run.peakAfter / 1048576.0, peakRatio, WorkingSetTargetRatio,
         peakRatio < WorkingSetTargetRatio ? "met" : "MISSED");
  printf("  growth over the idle broker: %.2f x the file\n",
         (static_cast<double>(run.peakAfter) - static_cast<double>(run.peakBefore)) / FileSize);
  return ratio < RequestTargetRatio && peakRatio < WorkingSetTargetRatio;
}

}  // namespace

int main(int argc, char** argv) {
  const std::wstring exe = argc > 1 ? Widen(argv[1]) : DefaultBrokerExe();
  if (exe.empty() || GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) {
    fprintf(stderr, "broker exe not found: %ls\n", exe.c_str());
    return 2;
  }
  wchar_t roaming[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, roaming) != S_OK) {
    fprintf(stderr, "no application-data folder\n");
    return 2;
  }
  wchar_t folderName[32];
  swprintf(folderName, 32, L"\\tarnvel%08lx", static_cast<unsigned long>(GetCurrentProcessId() * 2654435761u));
  const Text folder = FromWide(roaming) + FromWide(folderName);
  const Text readPath = folder + u"\\read.bin";
  const Text writePath = folder + u"\\write.bin";
  CreateDirectoryW(WidePtr(folder), nullptr);

  std::vector<uint8_t> bytes(FileSize);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
  {
    UniqueHandle file(CreateFileW(WidePtr(readPath), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
      fprintf(stderr, "cannot write the file to read\n");
      return 2;
    }
  }

  printf("file requests of %zu bytes through %ls\n\n", FileSize, exe.c_str());
  const std::vector<uint8_t> readRequest = tarnvel_host::HostConnection::EncodeRequest(OpReadFile, 0, readPath, {}, {});
  const BrokerRun read = RunBroker(exe, readRequest, FileSize * 2);
  const std::vector<uint8_t> writeRequest =
      tarnvel_host::HostConnection::EncodeRequest(OpWriteFile, 0, writePath, {}, HexOf(bytes));
  const BrokerRun write = RunBroker(exe, writeRequest, 0);

  DeleteFileW(WidePtr(readPath));
  DeleteFileW(WidePtr(writePath));
  RemoveDirectoryW(WidePtr(folder));
  if (!read.ok || !write.ok) return 1;

  const double bareRead = BareTransfer(read.requestBytes, read.replyBytes);
  const double bareWrite = BareTransfer(write.requestBytes, write.replyBytes);
  const double shapedRead = TransportTransfer(read.requestBytes, read.replyBytes);
  const double shapedWrite = TransportTransfer(write.requestBytes, write.replyBytes);
  if (bareRead <= 0 || bareWrite <= 0 || shapedRead <= 0 || shapedWrite <= 0) {
    fprintf(stderr, "bare pipe transfer failed\n");
    return 1;
  }
  const bool readMet = Report("read file (op 14), 4 MiB", read, bareRead, shapedRead);
  printf("\n");
  const bool writeMet = Report("write file (op 15), 4 MiB", write, bareWrite, shapedWrite);
  printf("\nall targets %s\n", readMet && writeMet ? "met" : "NOT met");
  return 0;
}
