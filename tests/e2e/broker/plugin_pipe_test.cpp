// SPDX-License-Identifier: Apache-2.0
// Message 3: the broker places one end of a private pipe into a plug-in's process. A second
// process (plugin_standin.exe) plays the plug-in and reports what it sees of that pipe.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

using namespace tarnvel;

using namespace tarnvel::host;
using e2e::Broker;
using e2e::T;
using tarnvel::protocol::RequestOp;

namespace {

TEST(PluginPipe, PluginGetsAConnectedPipeThatBreaksWhenTheHostLeaves) {
  e2e::Child plugin;
  ASSERT_TRUE(plugin.Start(e2e::Program("plugin_standin"), L"", true));
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());

  PluginPipeReply reply;
  ASSERT_EQ(b.conn.RequestPluginPipe(plugin.pid(), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.error, 0);
  ASSERT_NE(reply.handle, -1);
  ASSERT_TRUE(plugin.WriteLine(std::to_string(reply.handle)));

  std::string line;
  ASSERT_TRUE(plugin.ReadLine(e2e::StartMs, line));
  EXPECT_EQ(line, "server-end");
  ASSERT_TRUE(plugin.ReadLine(e2e::StartMs, line));
  EXPECT_EQ(line, "connected");

  // The broker goes on serving its host while it holds the plug-in's pipe.
  Reply pong;
  ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, pong), CallResult::Ok);
  EXPECT_EQ(pong.text, T("pong"));

  EXPECT_EQ(b.CloseAndExitCode(), 0);
  ASSERT_TRUE(plugin.WriteLine("host-gone"));
  ASSERT_TRUE(plugin.ReadLine(e2e::StartMs, line));
  EXPECT_EQ(line, "broken 109");
  DWORD code = 99;
  ASSERT_TRUE(plugin.WaitForExit(e2e::StartMs, code));
  EXPECT_EQ(code, 0u);
}

TEST(PluginPipe, EachRequestGetsItsOwnPipe) {
  e2e::Child plugin;
  ASSERT_TRUE(plugin.Start(e2e::Program("idle_host"), L"30000", false));
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  PluginPipeReply first, second;
  ASSERT_EQ(b.conn.RequestPluginPipe(plugin.pid(), e2e::ReplyMs, first), CallResult::Ok);
  ASSERT_EQ(b.conn.RequestPluginPipe(plugin.pid(), e2e::ReplyMs, second), CallResult::Ok);
  EXPECT_NE(first.handle, -1);
  EXPECT_NE(second.handle, -1);
  EXPECT_NE(first.handle, second.handle);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(PluginPipe, BrokersOwnProcessGetsNoHandle) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  PluginPipeReply reply;
  ASSERT_EQ(b.conn.RequestPluginPipe(b.process.pid(), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.handle, -1);
  EXPECT_NE(reply.error, 0);
  Reply pong;
  ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, pong), CallResult::Ok);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

// Another process created every name the broker's next pipe may take, with room for more
// instances: the broker's client end would reach that process, and the plug-in would get
// a pipe whose other end is not the broker. It gets no handle instead, and the broker's
// end never connects to that process.
TEST(PluginPipe, NameCreatedFirstByAnotherProcessGivesNoHandle) {
  e2e::Child plugin;
  ASSERT_TRUE(plugin.Start(e2e::Program("idle_host"), L"30000", false));
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  e2e::Child squatter;
  ASSERT_TRUE(squatter.Start(e2e::Program("pipe_squatter"), std::to_wstring(b.process.pid()) + L" 1 4000", true));
  std::string line;
  ASSERT_TRUE(squatter.ReadLine(e2e::StartMs, line));
  ASSERT_EQ(line, "ready 4000");

  PluginPipeReply reply;
  ASSERT_EQ(b.conn.RequestPluginPipe(plugin.pid(), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.handle, -1);
  EXPECT_EQ(reply.error, ERROR_ACCESS_DENIED);
  // The next request takes a name nobody holds and is served as usual.
  ASSERT_EQ(b.conn.RequestPluginPipe(plugin.pid(), e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.error, 0);
  EXPECT_NE(reply.handle, -1);
  squatter.CloseInput();
  ASSERT_TRUE(squatter.ReadLine(e2e::StartMs, line));
  EXPECT_EQ(line, "reached 0");
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

TEST(PluginPipe, ProcessThatDoesNotExistGetsNoHandle) {
  Broker b;
  ASSERT_TRUE(b.StartAndConnect());
  PluginPipeReply reply;
  ASSERT_EQ(b.conn.RequestPluginPipe(0x3FFFFFF0, e2e::ReplyMs, reply), CallResult::Ok);
  EXPECT_EQ(reply.handle, -1);
  // The connection goes on.
  Reply pong;
  ASSERT_EQ(b.Request(RequestOp::Ping, 0, T(""), T(""), T(""), e2e::ReplyMs, pong), CallResult::Ok);
  EXPECT_EQ(b.CloseAndExitCode(), 0);
}

}  // namespace
