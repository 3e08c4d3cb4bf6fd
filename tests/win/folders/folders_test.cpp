// SPDX-License-Identifier: Apache-2.0
#include <windows.h>
// Defines the folder ids here rather than needing uuid.lib.
#include <initguid.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "base/wide_text_win.h"
#include "requests/folders_win.h"
#include "requests/path_policy.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

namespace {

// An independent source for the same folders: the known-folder API.
Text KnownFolderPath(REFKNOWNFOLDERID id) {
  PWSTR raw = nullptr;
  Text out;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &raw))) out = FromWide(raw);
  CoTaskMemFree(raw);
  return out;
}

bool IsDirectory(const Text& path) {
  const DWORD a = GetFileAttributesW(WidePtr(path));
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

Text ShortPathOf(const Text& path) {
  const DWORD n = GetShortPathNameW(WidePtr(path), nullptr, 0);
  if (n == 0) return Text();
  std::wstring buffer(n, L'\0');
  const DWORD m = GetShortPathNameW(WidePtr(path), &buffer[0], n);
  if (m == 0 || m >= n) return Text();
  return FromWide(buffer.data(), m);
}

TEST(Folders, AppDataIsTheRoamingFolderOfThePrefix) {
  const Text roaming = AppDataFolder();
  ASSERT_FALSE(roaming.empty());
  EXPECT_EQ(roaming, KnownFolderPath(FOLDERID_RoamingAppData));
  EXPECT_TRUE(IsDirectory(roaming));
  EXPECT_EQ(NormaliseForPolicy(roaming).substr(1, 2), u":\\");
  EXPECT_EQ(CheckAppDataPath(roaming + u"\\Tarnvel\\x.bin", AppDataFolder()), Allow);
}

TEST(Folders, LocalTempIsLocalAppDataPlusTemp) {
  const Text local = KnownFolderPath(FOLDERID_LocalAppData);
  ASSERT_FALSE(local.empty());
  const Text temp = LocalTempFolder();
  EXPECT_EQ(temp, local + u"\\Temp");
}

class ExpandLongPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Text temp = LocalTempFolder();
    ASSERT_FALSE(temp.empty());
    CreateDirectoryW(WidePtr(temp), nullptr);
    root_ = temp + u"\\Tarnvel Expand Test " + AsciiText(std::to_string(GetCurrentProcessId()).c_str());
    longDir_ = root_ + u"\\Long Directory Name";
    CreateDirectoryW(WidePtr(root_), nullptr);
    ASSERT_TRUE(CreateDirectoryW(WidePtr(longDir_), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    longFile_ = longDir_ + u"\\Long File Name.txt";
    HANDLE h =
        CreateFileW(WidePtr(longFile_), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    shortDir_ = ShortPathOf(longDir_);
    ASSERT_FALSE(shortDir_.empty());
  }
  void TearDown() override {
    DeleteFileW(WidePtr(longFile_));
    RemoveDirectoryW(WidePtr(longDir_));
    RemoveDirectoryW(WidePtr(root_));
  }
  bool HasShortNames() const { return shortDir_ != longDir_; }

  Text root_, longDir_, longFile_, shortDir_;
};

TEST_F(ExpandLongPathTest, ShortDirectoryBecomesLongAndFinalComponentIsKept) {
  if (!HasShortNames()) GTEST_SKIP() << "this file system gives no 8.3 names";
  EXPECT_NE(shortDir_.find(u'~'), Text::npos);
  EXPECT_EQ(ExpandLongPath(shortDir_ + u"\\Not Yet There.jpg"), longDir_ + u"\\Not Yet There.jpg");
  EXPECT_EQ(ExpandLongPath(shortDir_ + u"/b.jpg"), longDir_ + u"/b.jpg");

  // The final component is copied as written, even when it is itself a short name.
  const Text shortFile = ShortPathOf(longFile_);
  ASSERT_FALSE(shortFile.empty());
  const Text shortFileName = shortFile.substr(shortFile.rfind(u'\\'));
  ASSERT_NE(shortFileName, u"\\Long File Name.txt");
  EXPECT_EQ(ExpandLongPath(shortDir_ + shortFileName), longDir_ + shortFileName);
}

// A destination written with short names is judged, and used, in its long form.
TEST_F(ExpandLongPathTest, ExpandedShortDestinationIsJudgedInsideTemp) {
  if (!HasShortNames()) GTEST_SKIP() << "this file system gives no 8.3 names";
  const Text destination = ExpandLongPath(shortDir_ + u"\\b.jpg");
  EXPECT_EQ(CheckCopyIn(u"D:\\pics\\a.JPG", destination, LocalTempFolder()), Allow);
  EXPECT_EQ(NormaliseForPolicy(destination), NormaliseForPolicy(longDir_ + u"\\b.jpg"));
}

TEST_F(ExpandLongPathTest, LongPathsAndUnresolvableTextsStayUnchanged) {
  const Text unchanged[] = {
      longDir_ + u"\\x.txt",
      Text(),
      u"a.txt",
      u"\\a.txt",
      root_ + u"\\No Such Directory\\x.txt",
      u"C:\\no-such-tarnvel-dir\\deeper\\x.pdf",
  };
  for (size_t i = 0; i < sizeof unchanged / sizeof unchanged[0]; ++i) {
    EXPECT_EQ(ExpandLongPath(unchanged[i]), unchanged[i]) << "case " << i;
  }
}

}  // namespace
