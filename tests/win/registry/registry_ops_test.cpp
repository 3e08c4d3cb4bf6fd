// SPDX-License-Identifier: Apache-2.0
// The registry requests against the real registry of the test prefix. Every test works
// below its own key HKCU\Software\Tarnvel\RegOpsTest\<test name> (HKLM for the
// local-machine reads) and removes it afterwards; checks go through the raw API.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "base/decimal.h"
#include "base/nul_list.h"
#include "support/system_request_win.h"

using namespace tarnvel;

namespace {

constexpr int32_t CurrentUser = 0;
constexpr int32_t LocalMachine = 1;

Text T(const std::wstring& s) { return FromWide(s); }

// Each call below is one request as the broker serves it: its key judged by the dispatcher,
// the operation run on the judged key, the operation's Win32 error mapped to a status. True
// is status Success.
struct Key {
  int32_t hive;
  Text key;
};
// The request's op decides whether the key is judged for writing.
Key JudgeKey(int32_t hive, const Text& key, bool) { return Key{hive, key}; }

SystemReply Ask(RequestOp op, const Key& k, const Text& b = Text(), const Text& c = Text()) {
  return SystemRequest(op, k.hive, k.key, b, c);
}
bool Ok(const SystemReply& r) { return r.status == RequestStatus::Success; }

bool ReadString(const Key& k, const Text& name, Text& out) {
  const SystemReply r = Ask(RequestOp::ReadString, k, name);
  out = r.text;
  return Ok(r);
}
bool WriteString(const Key& k, const Text& name, const Text& data) {
  return Ok(Ask(RequestOp::WriteString, k, name, data));
}
template <class Number>
bool ReadNumber(RequestOp op, const Key& k, const Text& name, Number& out) {
  const SystemReply r = Ask(op, k, name);
  uint64_t value = 0;
  if (!Ok(r)) return false;
  EXPECT_TRUE(ParseDecimalDigits(r.text, static_cast<Number>(~Number{0}), value)) << "a number's reply";
  out = static_cast<Number>(value);
  return true;
}
bool ReadDword(const Key& k, const Text& name, uint32_t& out) { return ReadNumber(RequestOp::ReadDword, k, name, out); }
bool ReadQword(const Key& k, const Text& name, uint64_t& out) { return ReadNumber(RequestOp::ReadQword, k, name, out); }
bool WriteDword(const Key& k, const Text& name, uint32_t v) {
  return Ok(Ask(RequestOp::WriteDword, k, name, FormatUnsignedDecimal(v)));
}
bool WriteQword(const Key& k, const Text& name, uint64_t v) {
  return Ok(Ask(RequestOp::WriteQword, k, name, FormatUnsignedDecimal(v)));
}
bool DeleteValue(const Key& k, const Text& name) { return Ok(Ask(RequestOp::DeleteValue, k, name)); }
bool DeleteKey(const Key& k) { return Ok(Ask(RequestOp::DeleteKey, k)); }
bool DeleteKeyTree(const Key& k) { return Ok(Ask(RequestOp::DeleteKeyTree, k)); }
bool KeyExists(const Key& k) { return Ok(Ask(RequestOp::KeyExists, k)); }
bool List(RequestOp op, const Key& k, std::vector<Text>& out) {
  const SystemReply r = Ask(op, k);
  if (!Ok(r)) return false;
  bool wellFormed = false;
  out = SplitNulTerminated(r.text, &wellFormed);
  EXPECT_TRUE(wellFormed);
  return true;
}
bool ListSubkeys(const Key& k, std::vector<Text>& names) { return List(RequestOp::ListSubkeys, k, names); }
bool ListValues(const Key& k, std::vector<Text>& pairs) { return List(RequestOp::ListValues, k, pairs); }
bool CopyKeyTree(const Key& from, const Key& to) {
  EXPECT_EQ(from.hive, to.hive) << "one request names one hive";
  return Ok(Ask(RequestOp::CopyKeyTree, from, to.key));
}

struct RawValue {
  LSTATUS status = ERROR_SUCCESS;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

RawValue RawGet(HKEY root, const std::wstring& key, const std::wstring& name) {
  RawValue v;
  UniqueRegKey k;
  v.status = RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, k.put());
  if (v.status != ERROR_SUCCESS) return v;
  DWORD size = 0;
  v.status = RegQueryValueExW(k.get(), name.c_str(), nullptr, &v.type, nullptr, &size);
  if (v.status != ERROR_SUCCESS) return v;
  v.bytes.resize(size);
  v.status = RegQueryValueExW(k.get(), name.c_str(), nullptr, &v.type, v.bytes.data(), &size);
  v.bytes.resize(size);
  return v;
}

void RawSet(HKEY root, const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
  UniqueRegKey k;
  ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

void RawSetString(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& s,
                  DWORD type = REG_SZ) {
  RawSet(root, key, name, type, s.c_str(), static_cast<DWORD>((s.size() + 1) * sizeof(wchar_t)));
}

void RawCreate(HKEY root, const std::wstring& key) {
  UniqueRegKey k;
  ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
            ERROR_SUCCESS);
}

bool RawExists(HKEY root, const std::wstring& key) {
  UniqueRegKey k;
  return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, k.put()) == ERROR_SUCCESS;
}

void RawDeleteTree(HKEY root, const std::wstring& key) {
  RegDeleteTreeW(root, key.c_str());
  RegDeleteKeyW(root, key.c_str());
}

std::vector<std::wstring> RawSubkeys(HKEY root, const std::wstring& key) {
  std::vector<std::wstring> names;
  UniqueRegKey k;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, k.put()) != ERROR_SUCCESS) return names;
  wchar_t name[300];
  for (DWORD i = 0;; ++i) {
    DWORD len = 300;
    if (RegEnumKeyExW(k.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, len);
  }
  return names;
}

// Removes keys at the hive root that an operation taking '/' literally would have made.
void RemoveSlashNamedRootKeys() {
  for (const auto& sub : RawSubkeys(HKEY_CURRENT_USER, L"")) {
    if (sub.find(L'/') != std::wstring::npos) RawDeleteTree(HKEY_CURRENT_USER, sub);
  }
}

std::vector<BYTE> Bytes(const std::wstring& units) {
  std::vector<BYTE> b(units.size() * sizeof(wchar_t));
  if (!b.empty()) std::memcpy(b.data(), units.data(), b.size());
  return b;
}

class RegistryOps : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = L"Software\\Tarnvel\\RegOpsTest\\" +
           FromWideAscii(::testing::UnitTest::GetInstance()->current_test_info()->name());
    RawDeleteTree(HKEY_CURRENT_USER, key_);
    RawDeleteTree(HKEY_LOCAL_MACHINE, key_);
  }
  void TearDown() override {
    RawDeleteTree(HKEY_CURRENT_USER, key_);
    RawDeleteTree(HKEY_LOCAL_MACHINE, key_);
    RemoveSlashNamedRootKeys();
    // The shared parent goes once empty; RegDeleteKeyW leaves it while anything is below it.
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) RegDeleteKeyW(root, L"Software\\Tarnvel\\RegOpsTest");
  }
  static std::wstring FromWideAscii(const char* s) { return std::wstring(s, s + std::strlen(s)); }
  std::wstring Sub(const std::wstring& rest) const { return key_ + L"\\" + rest; }

  std::wstring key_;
};

TEST_F(RegistryOps, WriteStringCreatesMissingParentsWithTheirCapitalisation) {
  ASSERT_TRUE(WriteString(JudgeKey(CurrentUser, T(Sub(L"NewA\\NewB")), true), u"N", u"abc"));
  EXPECT_EQ(RawSubkeys(HKEY_CURRENT_USER, key_), std::vector<std::wstring>{L"NewA"});
  EXPECT_EQ(RawSubkeys(HKEY_CURRENT_USER, Sub(L"NewA")), std::vector<std::wstring>{L"NewB"});
  RawValue v = RawGet(HKEY_CURRENT_USER, Sub(L"NewA\\NewB"), L"N");
  ASSERT_EQ(v.status, ERROR_SUCCESS);
  EXPECT_EQ(v.type, DWORD{REG_SZ});
  EXPECT_EQ(v.bytes, Bytes(std::wstring(L"abc", 4)));
}

TEST_F(RegistryOps, WriteStringStoresEveryCodeUnitAndOneNulAndReadStopsAtTheFirstNul) {
  struct Case {
    std::wstring data;
    size_t bytes;
    Text readBack;
  };
  const Case cases[] = {
      {L"abc", 8, u"abc"},
      {L"", 2, u""},
      {std::wstring(L"a\0b", 3), 8, u"a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    ASSERT_TRUE(WriteString(JudgeKey(CurrentUser, T(key_), true), u"v", T(c.data)));
    RawValue v = RawGet(HKEY_CURRENT_USER, key_, L"v");
    EXPECT_EQ(v.type, DWORD{REG_SZ});
    EXPECT_EQ(v.bytes.size(), c.bytes);
    EXPECT_EQ(v.bytes, Bytes(c.data + std::wstring(1, L'\0')));
    Text out = u"stale";
    ASSERT_TRUE(ReadString(JudgeKey(CurrentUser, T(key_), false), u"v", out));
    EXPECT_EQ(out, c.readBack);
  }
}

TEST_F(RegistryOps, ReadStringTakesPlainAndExpandableStringsOnly) {
  RawSetString(HKEY_CURRENT_USER, key_, L"expand", L"%TEMP%\\x", REG_EXPAND_SZ);
  RawSetString(HKEY_CURRENT_USER, key_, L"", L"default");
  // Stored without a terminator and with an odd byte count: "ab" and half a unit.
  RawSet(HKEY_CURRENT_USER, key_, L"unterminated", REG_SZ, L"abc", 5);
  RawSet(HKEY_CURRENT_USER, key_, L"multi", REG_MULTI_SZ, L"a\0b\0", 10);
  const BYTE four[4] = {1, 2, 3, 4};
  RawSet(HKEY_CURRENT_USER, key_, L"binary", REG_BINARY, four, 4);
  RawSet(HKEY_CURRENT_USER, key_, L"dword", REG_DWORD, four, 4);

  const std::pair<const char16_t*, const char16_t*> readable[] = {
      {u"expand", u"%TEMP%\\x"}, {u"", u"default"}, {u"unterminated", u"ab"}};
  for (const auto& r : readable) {
    Text out;
    EXPECT_TRUE(ReadString(JudgeKey(CurrentUser, T(key_), false), r.first, out));
    EXPECT_EQ(out, r.second);
  }
  for (const char* name : {"multi", "binary", "dword", "missing"}) {
    SCOPED_TRACE(name);
    Text out = u"stale";
    EXPECT_FALSE(ReadString(JudgeKey(CurrentUser, T(key_), false), AsciiText(name), out));
    EXPECT_TRUE(out.empty());
  }
  Text out;
  EXPECT_FALSE(ReadString(JudgeKey(CurrentUser, T(Sub(L"missing")), false), u"expand", out));
}

TEST_F(RegistryOps, NumbersAreReadOnlyFromTheirExactType) {
  const DWORD dword = 0xFFFFFFFFu;
  const ULONGLONG qword = 0x0123456789ABCDEFull;
  const BYTE four[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  const WORD shortDword = 0xBEEF;
  RawSet(HKEY_CURRENT_USER, key_, L"d", REG_DWORD, &dword, 4);
  RawSet(HKEY_CURRENT_USER, key_, L"q", REG_QWORD, &qword, 8);
  RawSet(HKEY_CURRENT_USER, key_, L"bin", REG_BINARY, four, 4);
  RawSet(HKEY_CURRENT_USER, key_, L"short", REG_DWORD, &shortDword, 2);

  uint32_t d = 0;
  ASSERT_TRUE(ReadDword(JudgeKey(CurrentUser, T(key_), false), u"d", d));
  EXPECT_EQ(d, 4294967295u);
  ASSERT_TRUE(ReadDword(JudgeKey(CurrentUser, T(key_), false), u"short", d));
  EXPECT_EQ(d, 0xBEEFu);
  uint64_t q = 0;
  ASSERT_TRUE(ReadQword(JudgeKey(CurrentUser, T(key_), false), u"q", q));
  EXPECT_EQ(q, 0x0123456789ABCDEFull);

  EXPECT_FALSE(ReadDword(JudgeKey(CurrentUser, T(key_), false), u"bin", d));
  EXPECT_FALSE(ReadDword(JudgeKey(CurrentUser, T(key_), false), u"q", d));  // eight bytes do not fit
  EXPECT_FALSE(ReadQword(JudgeKey(CurrentUser, T(key_), false), u"d", q));
  EXPECT_FALSE(ReadDword(JudgeKey(CurrentUser, T(key_), false), u"missing", d));
  EXPECT_FALSE(ReadQword(JudgeKey(CurrentUser, T(Sub(L"missing")), false), u"q", q));
}

TEST_F(RegistryOps, NumberWritesStoreExactTypesAndSizes) {
  ASSERT_TRUE(WriteDword(JudgeKey(CurrentUser, T(key_), true), u"d", 0xFFFFFFFFu));
  ASSERT_TRUE(WriteQword(JudgeKey(CurrentUser, T(key_), true), u"q", 0xFFFFFFFFFFFFFFFFull));
  ASSERT_TRUE(WriteQword(JudgeKey(CurrentUser, T(key_), true), u"q2", 0x1122334455667788ull));
  RawValue d = RawGet(HKEY_CURRENT_USER, key_, L"d");
  EXPECT_EQ(d.type, DWORD{REG_DWORD});
  EXPECT_EQ(d.bytes, (std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF}));
  RawValue q = RawGet(HKEY_CURRENT_USER, key_, L"q");
  EXPECT_EQ(q.type, DWORD{REG_QWORD});
  EXPECT_EQ(q.bytes, std::vector<BYTE>(8, 0xFF));
  RawValue q2 = RawGet(HKEY_CURRENT_USER, key_, L"q2");
  EXPECT_EQ(q2.bytes, (std::vector<BYTE>{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  uint64_t back = 0;
  ASSERT_TRUE(ReadQword(JudgeKey(CurrentUser, T(key_), false), u"q2", back));
  EXPECT_EQ(back, 0x1122334455667788ull);
}

TEST_F(RegistryOps, DeleteValueToleratesAMissingValueButNotAMissingKey) {
  RawSetString(HKEY_CURRENT_USER, key_, L"v", L"x");
  RawSetString(HKEY_CURRENT_USER, key_, L"", L"default");
  EXPECT_TRUE(DeleteValue(JudgeKey(CurrentUser, T(key_), true), u"v"));
  EXPECT_EQ(RawGet(HKEY_CURRENT_USER, key_, L"v").status, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(DeleteValue(JudgeKey(CurrentUser, T(key_), true), u""));
  EXPECT_EQ(RawGet(HKEY_CURRENT_USER, key_, L"").status, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(DeleteValue(JudgeKey(CurrentUser, T(key_), true), u"v"));
  EXPECT_FALSE(DeleteValue(JudgeKey(CurrentUser, T(Sub(L"missing")), true), u"v"));
  EXPECT_FALSE(RawExists(HKEY_CURRENT_USER, Sub(L"missing")));
}

TEST_F(RegistryOps, DeleteKeyRemovesOnlyKeysWithoutSubkeys) {
  RawCreate(HKEY_CURRENT_USER, Sub(L"parent\\child"));
  RawSetString(HKEY_CURRENT_USER, Sub(L"leaf"), L"v", L"x");
  EXPECT_TRUE(DeleteKey(JudgeKey(CurrentUser, T(Sub(L"missing")), true)));
  EXPECT_FALSE(DeleteKey(JudgeKey(CurrentUser, T(Sub(L"parent")), true)));
  EXPECT_TRUE(RawExists(HKEY_CURRENT_USER, Sub(L"parent\\child")));
  EXPECT_TRUE(DeleteKey(JudgeKey(CurrentUser, T(Sub(L"leaf")), true)));
  EXPECT_FALSE(RawExists(HKEY_CURRENT_USER, Sub(L"leaf")));
}

TEST_F(RegistryOps, DeleteKeyTreeRemovesTheKeyWithEverythingBelow) {
  RawSetString(HKEY_CURRENT_USER, Sub(L"tree\\a\\b"), L"v", L"x");
  RawSetString(HKEY_CURRENT_USER, Sub(L"tree"), L"v", L"x");
  RawCreate(HKEY_CURRENT_USER, Sub(L"treeSibling"));
  EXPECT_TRUE(DeleteKeyTree(JudgeKey(CurrentUser, T(Sub(L"tree")), true)));
  EXPECT_FALSE(RawExists(HKEY_CURRENT_USER, Sub(L"tree")));
  EXPECT_TRUE(RawExists(HKEY_CURRENT_USER, Sub(L"treeSibling")));
  EXPECT_TRUE(DeleteKeyTree(JudgeKey(CurrentUser, T(Sub(L"tree")), true)));
}

TEST_F(RegistryOps, KeyExistsOpensForReading) {
  RawCreate(HKEY_CURRENT_USER, key_);
  EXPECT_TRUE(KeyExists(JudgeKey(CurrentUser, T(key_), false)));
  EXPECT_FALSE(KeyExists(JudgeKey(CurrentUser, T(Sub(L"missing")), false)));
}

TEST_F(RegistryOps, ListSubkeysGivesNamesInEnumerationOrder) {
  RawCreate(HKEY_CURRENT_USER, Sub(L"list\\yz"));
  RawCreate(HKEY_CURRENT_USER, Sub(L"list\\x"));
  RawCreate(HKEY_CURRENT_USER, Sub(L"empty"));
  std::vector<Text> names{u"stale"};
  ASSERT_TRUE(ListSubkeys(JudgeKey(CurrentUser, T(Sub(L"list")), false), names));
  EXPECT_EQ(names, (std::vector<Text>{u"x", u"yz"}));
  ASSERT_TRUE(ListSubkeys(JudgeKey(CurrentUser, T(Sub(L"empty")), false), names));
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(ListSubkeys(JudgeKey(CurrentUser, T(Sub(L"missing")), false), names));
}

TEST_F(RegistryOps, ListSubkeysTakesTheLongestNameAndEndsAtOneThatDoesNotFit) {
  const std::wstring longest = L"b" + std::wstring(254, L'n');
  RawCreate(HKEY_CURRENT_USER, Sub(L"fits\\a"));
  RawCreate(HKEY_CURRENT_USER, Sub(L"fits\\" + longest));
  std::vector<Text> names;
  ASSERT_TRUE(ListSubkeys(JudgeKey(CurrentUser, T(Sub(L"fits")), false), names));
  EXPECT_EQ(names, (std::vector<Text>{u"a", T(longest)}));

  // Windows refuses names beyond 255 units; where the registry takes one, the listing
  // ends there with the names before it.
  const std::wstring tooLong = L"b" + std::wstring(255, L'n');
  UniqueRegKey k;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, Sub(L"over\\" + tooLong).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      k.put(), nullptr) != ERROR_SUCCESS) {
    GTEST_SKIP() << "the registry refuses a 256-unit key name";
  }
  k.reset();
  RawCreate(HKEY_CURRENT_USER, Sub(L"over\\a"));
  RawCreate(HKEY_CURRENT_USER, Sub(L"over\\c"));
  ASSERT_EQ(RawSubkeys(HKEY_CURRENT_USER, Sub(L"over")).size(), 3u);
  ASSERT_TRUE(ListSubkeys(JudgeKey(CurrentUser, T(Sub(L"over")), false), names));
  EXPECT_EQ(names, std::vector<Text>{u"a"});
}

TEST_F(RegistryOps, ListValuesPairsEveryNameWithItsStringData) {
  RawSetString(HKEY_CURRENT_USER, key_, L"a", L"x");
  const DWORD seven = 7;
  RawSet(HKEY_CURRENT_USER, key_, L"b", REG_DWORD, &seven, 4);
  RawSetString(HKEY_CURRENT_USER, key_, L"", L"y");
  RawSetString(HKEY_CURRENT_USER, key_, L"c", L"%e%", REG_EXPAND_SZ);
  RawSet(HKEY_CURRENT_USER, key_, L"d", REG_SZ, L"p\0q", 8);

  std::vector<Text> expected;
  {
    UniqueRegKey k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, KEY_READ, k.put()), ERROR_SUCCESS);
    const std::pair<const wchar_t*, const char16_t*> data[] = {
        {L"a", u"x"}, {L"b", u""}, {L"", u"y"}, {L"c", u"%e%"}, {L"d", u"p"}};
    wchar_t name[32];
    for (DWORD i = 0;; ++i) {
      DWORD len = 32;
      if (RegEnumValueW(k.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      for (const auto& d : data) {
        if (std::wstring(d.first) == std::wstring(name, len)) {
          expected.push_back(FromWide(name, len));
          expected.push_back(d.second);
        }
      }
    }
  }
  ASSERT_EQ(expected.size(), 10u);
  std::vector<Text> pairs{u"stale"};
  ASSERT_TRUE(ListValues(JudgeKey(CurrentUser, T(key_), false), pairs));
  EXPECT_EQ(pairs, expected);

  RawCreate(HKEY_CURRENT_USER, Sub(L"empty"));
  ASSERT_TRUE(ListValues(JudgeKey(CurrentUser, T(Sub(L"empty")), false), pairs));
  EXPECT_TRUE(pairs.empty());
  EXPECT_FALSE(ListValues(JudgeKey(CurrentUser, T(Sub(L"missing")), false), pairs));
}

TEST_F(RegistryOps, CopyKeyTreeCreatesTheDestinationAndNeedsTheSource) {
  RawSetString(HKEY_CURRENT_USER, Sub(L"src"), L"v", L"top");
  const DWORD one = 1;
  RawSet(HKEY_CURRENT_USER, Sub(L"src\\inner"), L"n", REG_DWORD, &one, 4);
  ASSERT_TRUE(
      CopyKeyTree(JudgeKey(CurrentUser, T(Sub(L"src")), false), JudgeKey(CurrentUser, T(Sub(L"dst\\deep")), true)));
  Text s;
  EXPECT_TRUE(ReadString(JudgeKey(CurrentUser, T(Sub(L"dst\\deep")), false), u"v", s));
  EXPECT_EQ(s, u"top");
  uint32_t n = 0;
  EXPECT_TRUE(ReadDword(JudgeKey(CurrentUser, T(Sub(L"dst\\deep\\inner")), false), u"n", n));
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(RawExists(HKEY_CURRENT_USER, Sub(L"src\\inner")));

  EXPECT_FALSE(CopyKeyTree(JudgeKey(CurrentUser, T(Sub(L"missing")), false),
                           JudgeKey(CurrentUser, T(Sub(L"fromMissing")), true)));
  EXPECT_FALSE(RawExists(HKEY_CURRENT_USER, Sub(L"fromMissing")));
}

// A sub-key no one may read makes a copy stop part-way: the source stays as it was, a
// destination key the copy made goes again, and one that stood before stays.
TEST_F(RegistryOps, TreeActsThatStopPartWayKeepTheirPromises) {
  RawSetString(HKEY_CURRENT_USER, Sub(L"src"), L"v", L"top");
  RawSetString(HKEY_CURRENT_USER, Sub(L"src\\a"), L"v", L"first");
  RawCreate(HKEY_CURRENT_USER, Sub(L"src\\locked"));
  RawSetString(HKEY_CURRENT_USER, Sub(L"stood"), L"mine", L"kept");
  UniqueRegKey locked;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Sub(L"src\\locked").c_str(), 0, WRITE_DAC, locked.put()), ERROR_SUCCESS);
  SECURITY_DESCRIPTOR noneMayRead;
  ACL empty;
  ASSERT_TRUE(InitializeSecurityDescriptor(&noneMayRead, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(InitializeAcl(&empty, sizeof empty, ACL_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&noneMayRead, TRUE, &empty, FALSE));
  ASSERT_EQ(RegSetKeySecurity(locked.get(), DACL_SECURITY_INFORMATION, &noneMayRead), ERROR_SUCCESS);
  UniqueRegKey probe;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, Sub(L"src\\locked").c_str(), 0, KEY_READ, probe.put()) == ERROR_SUCCESS) {
    GTEST_SKIP() << "a key with an empty access list still opens for reading here";
  }

  EXPECT_FALSE(CopyKeyTree(JudgeKey(CurrentUser, T(Sub(L"src")), false), JudgeKey(CurrentUser, T(Sub(L"made")), true)));
  EXPECT_FALSE(RawExists(HKEY_CURRENT_USER, Sub(L"made")));
  EXPECT_FALSE(
      CopyKeyTree(JudgeKey(CurrentUser, T(Sub(L"src")), false), JudgeKey(CurrentUser, T(Sub(L"stood")), true)));
  Text s;
  EXPECT_TRUE(ReadString(JudgeKey(CurrentUser, T(Sub(L"stood")), false), u"mine", s));
  EXPECT_EQ(s, u"kept");
  EXPECT_TRUE(ReadString(JudgeKey(CurrentUser, T(Sub(L"src\\a")), false), u"v", s));
  EXPECT_EQ(s, u"first");

  EXPECT_EQ(RawSubkeys(HKEY_CURRENT_USER, Sub(L"src")), (std::vector<std::wstring>{L"a", L"locked"}));

  // A delete-tree stopped the same way is finished by the next one.
  EXPECT_FALSE(DeleteKeyTree(JudgeKey(CurrentUser, T(Sub(L"src")), true)));
  EXPECT_TRUE(RawExists(HKEY_CURRENT_USER, Sub(L"src")));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&noneMayRead, TRUE, nullptr, FALSE));
  EXPECT_EQ(RegSetKeySecurity(locked.get(), DACL_SECURITY_INFORMATION, &noneMayRead), ERROR_SUCCESS);
  EXPECT_TRUE(DeleteKeyTree(JudgeKey(CurrentUser, T(Sub(L"src")), true)));
  EXPECT_FALSE(RawExists(HKEY_CURRENT_USER, Sub(L"src")));
}

TEST_F(RegistryOps, CopyKeyTreeRefusesADestinationInsideTheSource) {
  RawSetString(HKEY_CURRENT_USER, Sub(L"src\\inner"), L"v", L"x");
  EXPECT_FALSE(
      CopyKeyTree(JudgeKey(CurrentUser, T(Sub(L"src")), false), JudgeKey(CurrentUser, T(Sub(L"SRC/copy")), true)));
  EXPECT_EQ(RawSubkeys(HKEY_CURRENT_USER, Sub(L"src")), std::vector<std::wstring>{L"inner"});
  // Only a whole name component makes a key lie inside another.
  EXPECT_TRUE(
      CopyKeyTree(JudgeKey(CurrentUser, T(Sub(L"src")), false), JudgeKey(CurrentUser, T(Sub(L"srcCopy")), true)));
  EXPECT_TRUE(RawExists(HKEY_CURRENT_USER, Sub(L"srcCopy\\inner")));
}

TEST_F(RegistryOps, KeysActOnTheCanonicalPathNotOnSlashNamedKeys) {
  // The policy reads '/' as a separator; the registry must act on the key it judged.
  const std::wstring name = FromWideAscii(::testing::UnitTest::GetInstance()->current_test_info()->name());
  const Text slashed = T(L"/software//tarnvel/RegOpsTest/" + name + L"/x/");
  ASSERT_TRUE(WriteString(JudgeKey(CurrentUser, slashed, true), u"v", u"here"));
  EXPECT_EQ(RawGet(HKEY_CURRENT_USER, Sub(L"x"), L"v").bytes, Bytes(std::wstring(L"here", 5)));
  for (const auto& sub : RawSubkeys(HKEY_CURRENT_USER, L"")) {
    EXPECT_EQ(sub.find(L'/'), std::wstring::npos) << "slash-named key at the root";
  }
  Text out;
  EXPECT_TRUE(ReadString(JudgeKey(CurrentUser, slashed, false), u"v", out));
  EXPECT_TRUE(KeyExists(JudgeKey(CurrentUser, slashed, false)));
  EXPECT_TRUE(CopyKeyTree(JudgeKey(CurrentUser, slashed, false),
                          JudgeKey(CurrentUser, T(L"software\\\\tarnvel/RegOpsTest\\" + name + L"//y"), true)));
  EXPECT_TRUE(RawExists(HKEY_CURRENT_USER, Sub(L"y")));
  EXPECT_TRUE(DeleteKeyTree(JudgeKey(CurrentUser, slashed, true)));
  EXPECT_FALSE(RawExists(HKEY_CURRENT_USER, Sub(L"x")));
}

TEST_F(RegistryOps, NothingActsOnTheHiveRoot) {
  RawCreate(HKEY_CURRENT_USER, key_);
  std::vector<Text> names;
  for (const Text& key : {Text(), Text(u"\\"), Text(u"//\\")}) {
    EXPECT_FALSE(KeyExists(JudgeKey(CurrentUser, key, false)));
    EXPECT_FALSE(DeleteKeyTree(JudgeKey(CurrentUser, key, true)));
    EXPECT_FALSE(DeleteKey(JudgeKey(CurrentUser, key, true)));
    EXPECT_FALSE(ListSubkeys(JudgeKey(CurrentUser, key, false), names));
    EXPECT_FALSE(WriteString(JudgeKey(CurrentUser, key, true), u"v", u"x"));
  }
  EXPECT_TRUE(RawExists(HKEY_CURRENT_USER, key_));
  EXPECT_EQ(RawGet(HKEY_CURRENT_USER, L"", L"v").status, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryOps, HiveSelectorOneReadsTheLocalMachine) {
  RawSetString(HKEY_LOCAL_MACHINE, key_, L"v", L"machine");
  const DWORD five = 5;
  RawSet(HKEY_LOCAL_MACHINE, key_, L"n", REG_DWORD, &five, 4);
  Text out;
  ASSERT_TRUE(ReadString(JudgeKey(LocalMachine, T(key_), false), u"v", out));
  EXPECT_EQ(out, u"machine");
  uint32_t n = 0;
  ASSERT_TRUE(ReadDword(JudgeKey(LocalMachine, T(key_), false), u"n", n));
  EXPECT_EQ(n, 5u);
  EXPECT_TRUE(KeyExists(JudgeKey(LocalMachine, T(key_), false)));
  // Any other selector is the current user's hive, where the key is absent.
  EXPECT_FALSE(KeyExists(JudgeKey(CurrentUser, T(key_), false)));
  EXPECT_FALSE(KeyExists(JudgeKey(7, T(key_), false)));
}

}  // namespace
