// SPDX-License-Identifier: Apache-2.0
// Sizes that come from the wire or from a file, at the edges where a 32-bit size_t would
// wrap: hostile payload lengths end the connection cleanly, and the largest legitimate
// reads and writes arrive whole. Run against both brokers; the x86 one is where a wrap shows.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <cstring>

#include "e2e/e2e_support.h"
#include "ipc/wire_format.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

using namespace tarnvel::host;
using e2e::Broker;
using e2e::T;
using tarnvel::protocol::Code;
using tarnvel::protocol::MessageId;
using tarnvel::protocol::RequestOp;
using tarnvel::protocol::RequestStatus;

namespace {

// One request (id 6, five parameters) whose text A declares `length` but carries one payload
// word; the declared total matches the words actually sent, so only the length lies.
std::vector<uint8_t> RequestWithLyingLength(uint32_t textAType, uint32_t length) {
  const uint64_t typeA = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(textAType)));
  const uint64_t text16 =
      static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(String16 | ipc::String16Flag)));
  std::vector<uint64_t> w = {ipc::HeaderMagic,
                             MessageId::Request,
                             5,
                             0,
                             2,
                             2,
                             typeA,
                             text16,
                             text16,
                             ipc::TypeListEnd,
                             Code(RequestOp::Ping),
                             0,
                             length,
                             0x0041004100410041ull,
                             0,
                             0,
                             ipc::MessageEnd};
  w[3] = w.size();
  std::vector<uint8_t> bytes(w.size() * 8);
  std::memcpy(bytes.data(), w.data(), bytes.size());
  return bytes;
}

TEST(BrokerSizes, LengthThatWrapsASizeEndsTheConnectionWithExitZero) {
  const uint32_t wide = String16 | ipc::String16Flag;
  const uint32_t wideC = CString16 | ipc::String16Flag;
  const uint32_t narrow = String8 | ipc::String8Flag;
  const struct {
    const char* name;
    uint32_t type;
    uint32_t length;
  } cases[] = {
      {"String16 of 2^31-1 units (bytes wrap to 2^32-2, payload to 0)", wide, 0x7FFFFFFF},
      {"String16 of 2^30 units (bytes exactly 2^31)", wide, 0x40000000},
      {"String16 of 2^31-4 units (payload words wrap)", wide, 0x7FFFFFFC},
      {"CString16 of 2^31-1 units", wideC, 0x7FFFFFFF},
      {"String16 just past a 64 MiB message", wide, 0x02000000},
      {"String8 of 2^31-1 bytes", narrow, 0x7FFFFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Broker b;
    ASSERT_TRUE(b.StartAndConnect());
    ASSERT_TRUE(b.conn.WriteRaw(RequestWithLyingLength(c.type, c.length)));
    Message m;
    EXPECT_EQ(b.conn.ReadMessage(e2e::ReplyMs, m), CallResult::Broken);
    DWORD code = 7;
    ASSERT_TRUE(b.process.WaitForExit(e2e::StartMs, &code));
    EXPECT_EQ(code, 0u);
  }
}

std::wstring DataFolder() {
  wchar_t roaming[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, roaming) != S_OK) return L"";
  return std::wstring(roaming) + L"\\tarnvel";
}

Text HexOf(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  Text hex;
  hex.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    hex.push_back(static_cast<char16_t>(digits[b >> 4]));
    hex.push_back(static_cast<char16_t>(digits[b & 15]));
  }
  return hex;
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
  return v;
}

Text ToText(const std::wstring& w) { return Text(w.begin(), w.end()); }

constexpr DWORD LargeMs = 60000;

TEST(BrokerSizes, LargestFileIsReadWholeAndOneByteMoreIsRefused) {
  const std::wstring folder = DataFolder();
  ASSERT_FALSE(folder.empty());
  CreateDirectoryW(folder.c_str(), nullptr);
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  const Text path = ToText(folder + L"\\e2e-largest.bin");
  const std::vector<uint8_t> bytes = Pattern(0x400000);
  const Text hex = HexOf(bytes);  // 8M units: the largest text a read gives
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::WriteAppDataFile, 0, path, T(""), hex, LargeMs, reply), CallResult::Ok);
  ASSERT_EQ(reply.status, Code(RequestStatus::Success));
  ASSERT_EQ(b.Request(RequestOp::ReadAppDataFile, 0, path, T(""), T(""), LargeMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Success));
  EXPECT_EQ(reply.text.size(), hex.size());
  EXPECT_TRUE(reply.text == hex);

  ASSERT_EQ(b.Request(RequestOp::WriteAppDataFile, 0, path, T(""), hex + T("00"), LargeMs, reply), CallResult::Ok);
  ASSERT_EQ(reply.status, Code(RequestStatus::Success));
  ASSERT_EQ(b.Request(RequestOp::ReadAppDataFile, 0, path, T(""), T(""), LargeMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::NotFound));
  EXPECT_TRUE(reply.text.empty());
  ASSERT_EQ(b.Request(RequestOp::DeleteAppDataFile, 0, path, T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerSizes, WriteNearTheLargestMessageLandsWhole) {
  const std::wstring folder = DataFolder();
  ASSERT_FALSE(folder.empty());
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring file = folder + L"\\e2e-largest-write.bin";
  // Text C fills the message up to a few words below the format's limit: 64 MiB of text,
  // 16 MiB of file.
  const size_t headroomWords = 64;
  const size_t units = (ipc::MaxTotalWords - headroomWords) * 4;
  const std::vector<uint8_t> bytes = Pattern(units / 2);
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::WriteAppDataFile, 0, ToText(file), T(""), HexOf(bytes), LargeMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Success));
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeHigh, 0u);
  EXPECT_EQ(data.nFileSizeLow, bytes.size());
  // A message one word over the limit is never sent by the host library.
  EXPECT_FALSE(b.conn.Send(MessageId::Request, {Param::Int32(Code(RequestOp::WriteAppDataFile)), Param::Int32(0),
                                                Param::Text16(ToText(file)), Param::Text16(T("")),
                                                Param::Text16(Text(ipc::MaxTotalWords * 4, u'0'))}));
  ASSERT_EQ(b.Request(RequestOp::DeleteAppDataFile, 0, ToText(file), T(""), T(""), e2e::ReplyMs, reply),
            CallResult::Ok);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

// A large write's text is decoded as it arrives; a fault at its very end still refuses the
// whole write with 4 and leaves the file as it was, and upper-case digits write their bytes.
TEST(BrokerSizes, ALargeWriteIsJudgedOnItsWholeText) {
  const std::wstring folder = DataFolder();
  ASSERT_FALSE(folder.empty());
  CreateDirectoryW(folder.c_str(), nullptr);
  const Text path = ToText(folder + L"\\e2e-judged-whole.bin");
  const std::vector<uint8_t> bytes = Pattern(0x100000);
  const Text hex = HexOf(bytes);
  Text upper = hex;
  for (char16_t& c : upper) {
    if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - 0x20);
  }
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::WriteAppDataFile, 0, path, T(""), upper, LargeMs, reply), CallResult::Ok);
  ASSERT_EQ(reply.status, Code(RequestStatus::Success));
  const Text bad[] = {hex.substr(0, hex.size() - 1) + T("g"), hex + T("0"), hex + Text(1, u'\u0130')};
  for (const Text& text : bad) {
    ASSERT_EQ(b.Request(RequestOp::WriteAppDataFile, 0, path, T(""), text, LargeMs, reply), CallResult::Ok);
    EXPECT_EQ(reply.status, Code(RequestStatus::BadArgument)) << "text of " << text.size() << " units";
  }
  ASSERT_EQ(b.Request(RequestOp::ReadAppDataFile, 0, path, T(""), T(""), LargeMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Success));
  EXPECT_TRUE(reply.text == hex);
  ASSERT_EQ(b.Request(RequestOp::DeleteAppDataFile, 0, path, T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(BrokerSizes, LongStringValueRoundTripsWithItsByteCount) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  Text value(300000, u'v');
  value[0] = u'<';
  value.back() = u'>';
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::WriteString, 0, T("software\\tarnvel\\e2e-sizes"), T("long"), value, LargeMs, reply),
            CallResult::Ok);
  ASSERT_EQ(reply.status, Code(RequestStatus::Success));
  ASSERT_EQ(b.Request(RequestOp::ReadString, 0, T("software\\tarnvel\\e2e-sizes"), T("long"), T(""), LargeMs, reply),
            CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Success));
  EXPECT_EQ(reply.text.size(), value.size());
  EXPECT_TRUE(reply.text == value);
  ASSERT_EQ(
      b.Request(RequestOp::DeleteKeyTree, 0, T("software\\tarnvel\\e2e-sizes"), T(""), T(""), e2e::ReplyMs, reply),
      CallResult::Ok);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

// A listing whose reply text is beyond what one message carries (three values of 12.5
// million characters: 75 MB of text) is a failed request; the connection goes on.
TEST(BrokerSizes, ReplyTooLargeForAMessageAnswersFailedAndServingGoesOn) {
  const Text key = T("software\\tarnvel\\e2e-too-large");
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  Reply reply;
  const Text value(12500000, u'v');
  for (const char* name : {"a", "b", "c"}) {
    ASSERT_EQ(b.Request(RequestOp::WriteString, 0, key, T(name), value, LargeMs, reply), CallResult::Ok);
    ASSERT_EQ(reply.status, Code(RequestStatus::Success)) << name;
  }
  ASSERT_EQ(b.Request(RequestOp::ListValues, 0, key, T(""), T(""), LargeMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Failed));
  EXPECT_TRUE(reply.text.empty());
  ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.text, T("pong"));
  ASSERT_EQ(b.Request(RequestOp::DeleteKeyTree, 0, key, T(""), T(""), LargeMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.status, Code(RequestStatus::Success));
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

// Wine's shell overflows its stack from about 997 characters on. Targets beyond the bound
// are refused before any shell call; the broker answers every length and stays.
TEST(BrokerSizes, ShellTargetOfAnyLengthIsAnsweredAndTheBrokerStays) {
  const Text folder = T("C:\\tarnvel-no-such-folder\\");
  const struct {
    size_t length;
    RequestStatus status;
  } cases[] = {
      {900, RequestStatus::Failed},  // at the bound: a missing document, which the shell reports as such
      {901, RequestStatus::Denied},   {997, RequestStatus::Denied},     {2083, RequestStatus::Denied},
      {40000, RequestStatus::Denied}, {1000000, RequestStatus::Denied},
  };
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    const Text target = folder + Text(c.length - folder.size() - 4, u'a') + T(".txt");
    ASSERT_EQ(target.size(), c.length);
    Reply reply;
    ASSERT_EQ(b.Request(RequestOp::ShellOpen, 0, target, T(""), T(""), LargeMs, reply), CallResult::Ok);
    EXPECT_EQ(reply.status, Code(c.status));
    ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
    EXPECT_EQ(reply.text, T("pong"));
  }
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

size_t CurrentWorkingSet(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return GetProcessMemoryInfo(process, &counters, sizeof counters) ? counters.WorkingSetSize : 0;
}

// Nothing of a large request's size stays held once the host has its answer, on a
// connection that stays open and with no pause: the file read's reply is made a piece of
// the file at a time into one kept chunk, a write's data is given back before its reply,
// and an ordinary large reply's memory before the next request is answered.
TEST(BrokerSizes, WorkingSetIsBackNearIdleRightAfterEachLargeRequest) {
  const std::wstring folder = DataFolder();
  ASSERT_FALSE(folder.empty());
  CreateDirectoryW(folder.c_str(), nullptr);
  const Text path = ToText(folder + L"\\e2e-working-set.bin");
  const Text hex = HexOf(Pattern(0x400000));
  const Text key = T("software\\tarnvel\\e2e-working-set");
  const Text longValue(0x200000, u'w');  // 4 MiB of text, in a request and in a reply
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  Reply reply;
  ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  Sleep(200);
  const size_t idle = CurrentWorkingSet(b.process.process());
  ASSERT_GT(idle, 0u);
  auto expectNearIdle = [&](const char* after) {
    const size_t now = CurrentWorkingSet(b.process.process());
    EXPECT_LE(now, idle + 1048576) << "idle " << idle << " bytes, after " << after << " " << now;
  };

  ASSERT_EQ(b.Request(RequestOp::WriteAppDataFile, 0, path, T(""), hex, LargeMs, reply), CallResult::Ok);
  ASSERT_EQ(reply.status, Code(RequestStatus::Success));
  expectNearIdle("a 4 MiB write");
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(b.Request(RequestOp::ReadAppDataFile, 0, path, T(""), T(""), LargeMs, reply), CallResult::Ok);
    ASSERT_EQ(reply.status, Code(RequestStatus::Success));
    EXPECT_TRUE(reply.text == hex);
    expectNearIdle("a 4 MiB read");
  }
  ASSERT_EQ(b.Request(RequestOp::WriteString, 0, key, T("long"), longValue, LargeMs, reply), CallResult::Ok);
  ASSERT_EQ(reply.status, Code(RequestStatus::Success));
  expectNearIdle("a 4 MiB registry write");
  ASSERT_EQ(b.Request(RequestOp::ReadString, 0, key, T("long"), T(""), LargeMs, reply), CallResult::Ok);
  ASSERT_EQ(reply.status, Code(RequestStatus::Success));
  EXPECT_EQ(reply.text.size(), longValue.size());
  // An ordinary reply gives its memory back once it is written, before the next request.
  ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  expectNearIdle("a 4 MiB registry read");

  ASSERT_EQ(b.Request(RequestOp::DeleteKeyTree, 0, key, T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  ASSERT_EQ(b.Request(RequestOp::DeleteAppDataFile, 0, path, T(""), T(""), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

}  // namespace
