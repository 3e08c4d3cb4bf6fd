// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <climits>
#include "broker/command_line.h"

using namespace tarnvel;

using namespace tarnvel::broker;

namespace {

TEST(BrokerCommandLine, FindsBothSwitchesInOrder) {
  struct Case {
    const char16_t* line;
    bool ok;
    const char16_t* pipePath;
    int32_t pid;
  } cases[] = {
      {u"\"C:\\Program Files\\T\\TarnvelBroker.exe\" --ipc=abc --proc=1234", true, u"\\\\.\\pipe\\abc", 1234},
      {u"broker.exe --ipc=abc --proc=42 --other=7", true, u"\\\\.\\pipe\\abc", 42},
      {u"broker.exe --x --ipc=a b c --proc=  -17z", true, u"\\\\.\\pipe\\a b c", -17},
      {u"broker.exe --ipc= --proc=5", true, u"\\\\.\\pipe\\", 5},
      {u"broker.exe --ipc=n --proc=", true, u"\\\\.\\pipe\\n", 0},
      {u"broker.exe --ipc=n --proc=abc", true, u"\\\\.\\pipe\\n", 0},
      {u"broker.exe --ipc=n --proc=+8", true, u"\\\\.\\pipe\\n", 8},
      {u"broker.exe --proc=5 --ipc=n", false, nullptr, 0},  // wrong order
      {u"--ipc=n --proc=5", false, nullptr, 0},             // no blank before the first switch
      {u"broker.exe --ipc=n", false, nullptr, 0},
      {u"broker.exe --proc=5", false, nullptr, 0},
      {u" --ipc=", false, nullptr, 0},
      {u"short", false, nullptr, 0},
      {u"", false, nullptr, 0},
      {u"broker.exe --IPC=n --proc=5", false, nullptr, 0},  // switches are case-sensitive
  };
  for (const Case& c : cases) {
    BrokerCommandLine parsed;
    const Text line(c.line);
    ASSERT_EQ(ParseBrokerCommandLine(line, parsed), c.ok) << std::string(line.begin(), line.end());
    if (!c.ok) continue;
    EXPECT_EQ(parsed.pipePath, c.pipePath);
    EXPECT_EQ(parsed.hostProcessId, c.pid);
  }
}

TEST(BrokerCommandLine, ProcessIdOutsideThe32BitRangeIsClamped) {
  EXPECT_EQ(ParseProcessId(u"99999999999"), INT32_MAX);
  EXPECT_EQ(ParseProcessId(u"-99999999999"), INT32_MIN);
  EXPECT_EQ(ParseProcessId(u"2147483647"), INT32_MAX);
}

}  // namespace

namespace {

TEST(BrokerCommandLine, EffectivePolicySwitchEndsALineWithoutPipe) {
  const struct {
    const char16_t* line;
    EffectivePolicyReport report;
  } cases[] = {
      {u"\"C:\\T\\TarnvelBroker.exe\" --effective-policy", EffectivePolicyReport::Text},
      {u"broker.exe --effective-policy=json  ", EffectivePolicyReport::Json},
      {u"broker.exe --effective-policy=xml", EffectivePolicyReport::None},
      {u"broker.exe --ipc=n --proc=5 --effective-policy", EffectivePolicyReport::None},
      {u"broker.exe --effective-policy --proc=5", EffectivePolicyReport::None},
      {u"--effective-policy", EffectivePolicyReport::None},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseEffectivePolicySwitch(c.line), c.report) << std::string(c.line, c.line + 10);
  }
}

}  // namespace
