// SPDX-License-Identifier: Apache-2.0
// The broker a host starts comes from TarnvelHost.dll's folder unless the host names an
// absolute path; a path only the current drive or directory could complete is refused.
#include <gtest/gtest.h>

#include <string>

#include "sdk/broker_path.h"

using namespace tarnvel;

namespace tarnvel::sdk {
namespace {

TEST(BrokerPath, RelativeFromTheDllFolderAbsoluteAsGivenCurrentDirectoryNever) {
  const std::wstring dll = L"C:\\Program Files\\Maker";
  struct Case {
    const wchar_t* folder;
    std::wstring given;
    const wchar_t* expected;  // nullptr: refused
  };
  const Case cases[] = {
      {dll.c_str(), L"", L"C:\\Program Files\\Maker\\TarnvelBroker.exe"},
      {L"C:\\", L"", L"C:\\TarnvelBroker.exe"},
      {dll.c_str(), L"TarnvelBroker.exe", L"C:\\Program Files\\Maker\\TarnvelBroker.exe"},
      {dll.c_str(), L"..\\broker\\B.exe", L"C:\\Program Files\\Maker\\..\\broker\\B.exe"},
      {dll.c_str(), L"D:\\x\\B.exe", L"D:\\x\\B.exe"},
      {dll.c_str(), L"d:/x/B.exe", L"d:/x/B.exe"},
      {dll.c_str(), L"\\\\server\\share\\B.exe", L"\\\\server\\share\\B.exe"},
      {dll.c_str(), L"\\\\?\\C:\\B.exe", L"\\\\?\\C:\\B.exe"},
      {dll.c_str(), L"C:B.exe", nullptr},
      {dll.c_str(), L"C:", nullptr},
      {dll.c_str(), L"\\B.exe", nullptr},
      {dll.c_str(), L"/B.exe", nullptr},
      {dll.c_str(), std::wstring(L"B.exe\0.txt", 10), nullptr},
      {L"", L"TarnvelBroker.exe", nullptr},
      {L"", L"D:\\B.exe", L"D:\\B.exe"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    std::wstring out = L"stale";
    EXPECT_EQ(ResolveBrokerPath(c.folder, c.given, out), c.expected != nullptr);
    EXPECT_EQ(out, c.expected != nullptr ? std::wstring(c.expected) : std::wstring());
  }
}

}  // namespace
}  // namespace tarnvel::sdk
