// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ipc/pipe_transport_win.h"
#include "pipe_helpers.h"

using namespace tarnvel;
using namespace tarnvel::ipc;

namespace {

const std::vector<uint8_t> Hello = {'h', 'e', 'l', 'l', 'o'};

TEST(PipeTransport, AcceptsAClientThatConnectedFirst) {
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  ASSERT_TRUE(server.valid());
  UniqueHandle client = OpenClientEnd(name);
  ASSERT_TRUE(client.valid());

  PipeTransportWithMessagePump transport;
  ASSERT_TRUE(transport.Open(server.release(), true));  // ERROR_PIPE_CONNECTED
  ASSERT_TRUE(WriteAll(client.get(), Hello.data(), Hello.size()));
  size_t count = 0;
  const uint8_t* bytes = transport.Read(count);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + count), Hello);
}

TEST(PipeTransport, WaitsForAClientThatComesLater) {
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  ASSERT_TRUE(server.valid());
  std::thread client([&] {
    Sleep(100);
    UniqueHandle end = OpenClientEnd(name);
    if (end.valid()) WriteAll(end.get(), Hello.data(), Hello.size());
  });
  PipeTransportWithMessagePump transport;
  EXPECT_TRUE(transport.Open(server.release(), true));  // pending connect
  size_t count = 0;
  const uint8_t* bytes = transport.Read(count);
  client.join();
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + count), Hello);
}

TEST(PipeTransport, FailedAcceptKeepsTheHandleForClose) {
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  UniqueHandle client = OpenClientEnd(name);
  ASSERT_TRUE(client.valid());
  // A client end cannot accept a connection.
  const HANDLE raw = client.release();
  PipeTransportWithMessagePump transport;
  EXPECT_FALSE(transport.Open(raw, true));
  EXPECT_EQ(transport.pipe(), raw);
  transport.Close();
  EXPECT_EQ(transport.pipe(), INVALID_HANDLE_VALUE);
  // The client end is gone, so the server end sees a broken pipe.
  EXPECT_TRUE(ServerRead(server.get(), 1).empty());
}

TEST(PipeTransport, OpenWithoutConnectOnlyStoresTheHandle) {
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  const HANDLE raw = server.release();
  PipeTransportWithMessagePump transport;
  EXPECT_TRUE(transport.Open(raw, false));
  EXPECT_EQ(transport.pipe(), raw);
  // No client ever connected: accepting was not attempted, so a client can still come.
  UniqueHandle client = OpenClientEnd(name);
  EXPECT_TRUE(client.valid());
}

TEST(PipeTransport, EmptyTransportFailsWithoutTouchingTheSystem) {
  PipeTransportWithMessagePump transport;
  EXPECT_EQ(transport.pipe(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(transport.Open(INVALID_HANDLE_VALUE, true));
  EXPECT_FALSE(transport.Open(INVALID_HANDLE_VALUE, false));
  EXPECT_EQ(transport.pipe(), INVALID_HANDLE_VALUE);
  size_t count = 99;
  EXPECT_EQ(transport.Read(count), nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(transport.Write(Hello.data(), Hello.size()));
  EXPECT_FALSE(transport.Write(Hello.data(), 0));
  transport.Close();
}

TEST(PipeTransport, ZeroLengthWriteSucceedsWithoutWriting) {
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  UniqueHandle client = OpenClientEnd(name);
  PipeTransportWithMessagePump transport;
  ASSERT_TRUE(transport.Open(server.release(), true));
  client.reset();
  // Any WriteFile now fails (the peer is gone); an empty write must not make one.
  EXPECT_FALSE(transport.Write(Hello.data(), Hello.size()));
  EXPECT_TRUE(transport.Write(Hello.data(), 0));
}

TEST(PipeTransport, ClosedPeerGivesANullRead) {
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  UniqueHandle client = OpenClientEnd(name);
  PipeTransportWithMessagePump transport;
  ASSERT_TRUE(transport.Open(server.release(), true));
  ASSERT_TRUE(WriteAll(client.get(), Hello.data(), 3));
  client.reset();
  size_t count = 0;
  const uint8_t* bytes = transport.Read(count);
  ASSERT_NE(bytes, nullptr);  // what was written before the close still arrives
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(transport.Read(count), nullptr);
  EXPECT_EQ(count, 0u);
}

TEST(PipeTransport, ClosedPeerWakesAPendingRead) {
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  UniqueHandle client = OpenClientEnd(name);
  PipeTransportWithMessagePump transport;
  ASSERT_TRUE(transport.Open(server.release(), true));
  std::thread closer([&] {
    Sleep(100);
    client.reset();
  });
  size_t count = 0;
  EXPECT_EQ(transport.Read(count), nullptr);
  closer.join();
}

TEST(PipeTransport, CloseTwiceClosesOnce) {
  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  UniqueHandle client = OpenClientEnd(name);
  PipeTransportWithMessagePump transport;
  ASSERT_TRUE(transport.Open(server.release(), true));
  transport.Close();
  EXPECT_EQ(transport.pipe(), INVALID_HANDLE_VALUE);
  char c;
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(client.get(), &c, 1, &n, nullptr));  // disconnected
  // A handle made now may reuse the closed value; a second close must leave it alone.
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event.valid());
  transport.Close();
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(PipeTransport, AdoptReplacesAndClosesTheHeldHandle) {
  const std::wstring first = FreshPipeName();
  UniqueHandle firstServer = CreateServerEnd(first);
  UniqueHandle firstClient = OpenClientEnd(first);
  ASSERT_TRUE(firstClient.valid());
  PipeTransportWithMessagePump transport;
  const HANDLE raw = firstClient.release();
  EXPECT_TRUE(transport.Adopt(raw));
  EXPECT_EQ(transport.pipe(), raw);
  // The adopted client end is usable as it is.
  ASSERT_TRUE(transport.Write(Hello.data(), Hello.size()));
  EXPECT_EQ(ServerRead(firstServer.get(), 16), Hello);

  EXPECT_FALSE(transport.Adopt(INVALID_HANDLE_VALUE));
  EXPECT_EQ(transport.pipe(), INVALID_HANDLE_VALUE);
  // The end held before was closed: its server sees the pipe broken.
  EXPECT_TRUE(ServerRead(firstServer.get(), 16).empty());
}

TEST(PipeTransport, ReadsAtMostTheirLimitAndWritesLargeBlocksWhole) {
  // The default small reads, and large ones.
  for (bool large : {false, true}) {
    SCOPED_TRACE(large ? "large reads" : "small reads");
    const std::wstring name = FreshPipeName();
    UniqueHandle server = CreateServerEnd(name);
    UniqueHandle client = OpenClientEnd(name);
    PipeTransportWithMessagePump transport;
    ASSERT_TRUE(transport.Open(server.release(), true));

    // Far more than the pipe buffers hold: the write completes only as the peer reads.
    std::vector<uint8_t> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
    std::vector<uint8_t> echoed;
    std::thread peer([&] {
      echoed = ReadExactly(client.get(), block.size());
      WriteAll(client.get(), echoed.data(), echoed.size());
    });
    EXPECT_TRUE(transport.Write(block.data(), block.size()));
    const size_t limit = large ? 65536 : PipeTransportWithMessagePump::ReadBufferSize;
    std::vector<uint8_t> back;
    while (back.size() < block.size()) {
      size_t count = 0;
      const uint8_t* bytes = large ? transport.Read(count, limit) : transport.Read(count);
      if (bytes == nullptr) break;
      ASSERT_LE(count, limit);
      back.insert(back.end(), bytes, bytes + count);
    }
    peer.join();
    EXPECT_EQ(echoed, block);
    EXPECT_EQ(back, block);
  }
}

LRESULT CALLBACK RecordingWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_APP) {
    *reinterpret_cast<int*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)) += 1;
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

TEST(PipeTransport, PumpsWindowMessagesWhileWaiting) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = RecordingWndProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TarnvelPipeTestWindow";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  int dispatched = 0;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&dispatched));

  const std::wstring name = FreshPipeName();
  UniqueHandle server = CreateServerEnd(name);
  UniqueHandle client = OpenClientEnd(name);
  PipeTransportWithMessagePump transport;
  ASSERT_TRUE(transport.Open(server.release(), true));

  for (bool pump : {true, false}) {
    SCOPED_TRACE(pump);
    dispatched = 0;
    transport.SetPumpMessages(pump);
    std::thread peer([&] {
      PostMessageW(window, WM_APP, 0, 0);
      Sleep(150);
      WriteAll(client.get(), Hello.data(), Hello.size());
    });
    size_t count = 0;
    const uint8_t* bytes = transport.Read(count);
    peer.join();
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(count, Hello.size());
    EXPECT_EQ(dispatched, pump ? 1 : 0);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  DestroyWindow(window);
}

}  // namespace
