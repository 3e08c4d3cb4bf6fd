// SPDX-License-Identifier: Apache-2.0
// File requests against the real folders of the test prefix: R is the roaming
// application-data folder, T the local temporary folder. Every test works in folders of
// its own with unique names and removes them afterwards.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/wide_text_win.h"
#include "base/unique_handle_win.h"
#include "requests/file_ops_win.h"
#include "support/debug_capture.h"
#include "support/system_request_win.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

namespace {

using Bytes = std::vector<uint8_t>;

// Each request as the broker serves it: judged by the dispatcher, then acted on.
RequestStatus CopyIn(const Text& source, const Text& destination) {
  return SystemRequest(RequestOp::CopyFileIn, 0, source, destination).status;
}
RequestStatus Export(const Text& source, const Text& destination) {
  return SystemRequest(RequestOp::ExportFile, 0, source, destination).status;
}
RequestStatus WriteData(const Text& path, const Text& hex) {
  return SystemRequest(RequestOp::WriteAppDataFile, 0, path, Text(), hex).status;
}
RequestStatus ReadData(const Text& path, Text& reply) {
  const SystemReply r = SystemRequest(RequestOp::ReadAppDataFile, 0, path);
  reply = r.text;
  return r.status;
}
RequestStatus DataExists(const Text& path) { return SystemRequest(RequestOp::AppDataFileExists, 0, path).status; }
RequestStatus DeleteData(const Text& path) { return SystemRequest(RequestOp::DeleteAppDataFile, 0, path).status; }

Text KnownFolder(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer) != S_OK) return Text();
  return FromWide(buffer);
}

// "tarnvel" followed by 8 hexadecimal digits: a plug-in data folder name of its own.
Text UniqueDataFolderName() {
  static unsigned counter = 0;
  char name[32];
  snprintf(name, sizeof name, "tarnvel%08x",
           static_cast<unsigned>(GetCurrentProcessId() * 2654435761u ^ GetTickCount() * 40503u ^ ++counter * 97u));
  return AsciiText(name);
}

bool Exists(const Text& path) { return GetFileAttributesW(WidePtr(path)) != INVALID_FILE_ATTRIBUTES; }
bool IsFolder(const Text& path) {
  const DWORD a = GetFileAttributesW(WidePtr(path));
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void WriteRaw(const Text& path, const Bytes& bytes) {
  HANDLE h = CreateFileW(WidePtr(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cannot create test file";
  DWORD written = 0;
  const BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  ASSERT_TRUE(ok && written == bytes.size());
}

void WriteRaw(const Text& path, const std::string& text) { WriteRaw(path, Bytes(text.begin(), text.end())); }

// The file's bytes as the file system holds them; a missing file gives "<missing>".
std::string ReadRaw(const Text& path) {
  HANDLE h = CreateFileW(WidePtr(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out;
  std::vector<char> buffer(65536);
  DWORD read = 0;
  while (ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read > 0)
    out.append(buffer.data(), read);
  CloseHandle(h);
  return out;
}

void RemoveTree(const Text& path) {
  const DWORD attributes = GetFileAttributesW(WidePtr(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(WidePtr(path), attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  // A link goes, never what it leads to.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (!RemoveDirectoryW(WidePtr(path))) DeleteFileW(WidePtr(path));
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(WidePtr(path));
    return;
  }
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(WidePtr(path + u"\\*"), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const Text name = FromWide(found.cFileName);
      if (name != u"." && name != u"..") RemoveTree(path + u"\\" + name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(WidePtr(path));
}

// The broker's own files written before they are put in place ("~tarnvel-*.tmp") in a folder.
int Leftovers(const Text& folder) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(WidePtr(folder + u"\\~tarnvel-*.tmp"), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do ++count;
  while (FindNextFileW(find, &found));
  FindClose(find);
  return count;
}

// Hexadecimal as the requester expects it, built here independently of the broker's encoder.
Text Hex(const Bytes& bytes, const char* digits = "0123456789abcdef") {
  Text out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(static_cast<char16_t>(digits[b >> 4]));
    out.push_back(static_cast<char16_t>(digits[b & 15]));
  }
  return out;
}

Bytes Pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
  return bytes;
}

std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Points the user's local application-data folder elsewhere for one test and restores it.
class LocalAppDataOverride {
 public:
  explicit LocalAppDataOverride(const Text& folder) {
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key_) != ERROR_SUCCESS) {
      key_ = nullptr;
      return;
    }
    DWORD size = sizeof old_;
    had_ = RegQueryValueExW(key_, kValue, nullptr, &oldType_, reinterpret_cast<BYTE*>(old_), &size) == ERROR_SUCCESS;
    oldSize_ = size;
    RegSetValueExW(key_, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(WidePtr(folder)),
                   static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
  }
  ~LocalAppDataOverride() {
    if (!key_) return;
    if (had_)
      RegSetValueExW(key_, kValue, 0, oldType_, reinterpret_cast<const BYTE*>(old_), oldSize_);
    else
      RegDeleteValueW(key_, kValue);
    RegCloseKey(key_);
  }
  LocalAppDataOverride(const LocalAppDataOverride&) = delete;
  LocalAppDataOverride& operator=(const LocalAppDataOverride&) = delete;

 private:
  static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  static constexpr const wchar_t* kValue = L"Local AppData";
  HKEY key_ = nullptr;
  bool had_ = false;
  DWORD oldType_ = 0;
  DWORD oldSize_ = 0;
  wchar_t old_[1024] = {};
};

Text ShortPath(const Text& path) {
  wchar_t buffer[MAX_PATH * 2] = {};
  const DWORD n = GetShortPathNameW(WidePtr(path), buffer, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return Text();
  return FromWide(buffer, n);
}

bool SameIgnoringCase(const Text& a, const Text& b) {
  return CompareStringOrdinal(WidePtr(a), static_cast<int>(a.size()), WidePtr(b), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// The debugger lines of refused copies.
const std::string kCopyOutside = "[TarnvelBroker] file copy denied: outside Tarnvel subtree\n";
const std::string kExportOutside = "[TarnvelBroker] file export denied: outside Tarnvel subtree\n";

// A copy or export that must be refused with exactly one debugger line.
struct RefusedCopy {
  const char* what;
  bool isExport;
  Text source;
  Text destination;
  std::string line;
};

void ExpectEachRefused(const std::vector<RefusedCopy>& cases) {
  for (const RefusedCopy& c : cases) {
    SCOPED_TRACE(c.what);
    DebugCapture capture;
    const RequestStatus status = c.isExport ? Export(c.source, c.destination) : CopyIn(c.source, c.destination);
    EXPECT_EQ(status, RequestStatus::Denied);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{c.line});
  }
}

class FileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    roaming_ = KnownFolder(CSIDL_APPDATA);
    const Text local = KnownFolder(CSIDL_LOCAL_APPDATA);
    ASSERT_FALSE(roaming_.empty());
    ASSERT_FALSE(local.empty());
    temp_ = local + u"\\Temp";
    CreateDirectoryW(WidePtr(temp_), nullptr);
    data_ = Own(roaming_ + u"\\" + UniqueDataFolderName());
    work_ = Own(temp_ + u"\\files-" + UniqueDataFolderName());
    ASSERT_TRUE(CreateDirectoryW(WidePtr(data_), nullptr));
    ASSERT_TRUE(CreateDirectoryW(WidePtr(work_), nullptr));
  }
  void TearDown() override {
    for (const Text& p : owned_) RemoveTree(p);
  }
  // Removed after the test, whatever it left there.
  Text Own(const Text& path) {
    owned_.push_back(path);
    return path;
  }

  Text roaming_;  // R
  Text temp_;     // T
  Text data_;     // R\tarnvelXXXXXXXX, a plug-in data folder of this test
  Text work_;     // a folder of this test inside T
  std::vector<Text> owned_;
};

TEST_F(FileOpsTest, AllByteValuesRoundTripThroughWriteAndRead) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  const Text path = data_ + u"\\all.bin";

  ASSERT_EQ(WriteData(path, Hex(all)), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(path), AsString(all));
  Text reply;
  ASSERT_EQ(ReadData(path, reply), RequestStatus::Success);
  EXPECT_EQ(reply, Hex(all));

  // Capital digits are accepted on the way in; the reply is always lower case.
  WriteRaw(path, std::string("x"));
  ASSERT_EQ(WriteData(path, Hex(all, "0123456789ABCDEF")), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(path), AsString(all));
  ASSERT_EQ(ReadData(path, reply), RequestStatus::Success);
  EXPECT_EQ(reply, Hex(all));
}

TEST_F(FileOpsTest, EmptyTextEmptiesTheFileAndReadsBackEmpty) {
  const Text path = data_ + u"\\empty.bin";
  WriteRaw(path, std::string("previous content"));

  ASSERT_EQ(WriteData(path, Text()), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(path), "");
  Text reply = u"stale";
  EXPECT_EQ(ReadData(path, reply), RequestStatus::Success);
  EXPECT_EQ(reply, Text());
}

TEST_F(FileOpsTest, ReadReturnsExactlyFourMebibytesAndRefusesOneByteMore) {
  const Text path = data_ + u"\\big.bin";
  Bytes bytes = Pattern(4194304);
  WriteRaw(path, bytes);
  Text reply;
  ASSERT_EQ(ReadData(path, reply), RequestStatus::Success);
  ASSERT_EQ(reply.size(), 8388608u);
  EXPECT_TRUE(reply == Hex(bytes)) << "reply differs from the file's bytes";

  bytes.push_back(0x5a);
  WriteRaw(path, bytes);
  reply = u"stale";
  EXPECT_EQ(ReadData(path, reply), RequestStatus::NotFound);
  EXPECT_EQ(reply, Text()) << "no partial data for a refused read";

  reply = u"stale";
  EXPECT_EQ(ReadData(data_ + u"\\missing.bin", reply), RequestStatus::NotFound);
  EXPECT_EQ(reply, Text());
  EXPECT_EQ(ReadData(data_, reply), RequestStatus::NotFound) << "a folder is not a file";
}

TEST_F(FileOpsTest, WriteCreatesOneMissingFolderLevelOnly) {
  const Text path = data_ + u"\\new\\x.bin";
  ASSERT_EQ(WriteData(path, u"ff00A1"), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(path), std::string("\xff\x00\xa1", 3));
  EXPECT_EQ(Leftovers(data_ + u"\\new"), 0);

  // A plug-in data folder that does not exist is not created along with the sub-folder.
  const Text missingData = Own(roaming_ + u"\\" + UniqueDataFolderName());
  EXPECT_EQ(WriteData(missingData + u"\\new\\x.bin", u"ff00A1"), RequestStatus::Failed);
  EXPECT_FALSE(Exists(missingData));
}

TEST_F(FileOpsTest, MalformedHexTouchesNothing) {
  const Text path = data_ + u"\\keep.bin";
  const Text inMissingFolder = data_ + u"\\absent\\k.bin";
  WriteRaw(path, std::string("old"));
  const Text cases[] = {u"abc",
                        u"zz",
                        u"0",
                        u"ff0g",
                        u"g0",
                        u"0x10",
                        u"\u0661\u0662",
                        Text(u"ff\0"
                             u"0",
                             4)};
  for (const Text& hex : cases) {
    SCOPED_TRACE(testing::Message() << "text C of " << hex.size() << " units");
    EXPECT_EQ(WriteData(path, hex), RequestStatus::BadArgument);
    EXPECT_EQ(ReadRaw(path), "old");
    EXPECT_EQ(Leftovers(data_), 0);
    EXPECT_EQ(WriteData(inMissingFolder, hex), RequestStatus::BadArgument);
    EXPECT_FALSE(Exists(data_ + u"\\absent"));
  }
}

TEST_F(FileOpsTest, WriteReplacesALongerFileWhole) {
  const Text path = data_ + u"\\shrink.bin";
  WriteRaw(path, std::string("0123456789"));
  ASSERT_EQ(WriteData(path, u"4142"), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(path), "AB");
  EXPECT_EQ(Leftovers(data_), 0);
}

TEST_F(FileOpsTest, FailedReplaceKeepsTheTargetAndRemovesTheTemporaryFile) {
  // A folder at the target makes the final move fail after the temporary file was written.
  const Text target = data_ + u"\\target.bin";
  ASSERT_TRUE(CreateDirectoryW(WidePtr(target), nullptr));
  WriteRaw(target + u"\\inside.txt", std::string("kept"));

  EXPECT_EQ(WriteData(target, u"00ff"), RequestStatus::Failed);
  EXPECT_TRUE(IsFolder(target));
  EXPECT_EQ(ReadRaw(target + u"\\inside.txt"), "kept");
  EXPECT_EQ(Leftovers(data_), 0);
}

// The temporary name of a write was once "<target>.tmp", truncated and removed whatever it held.
TEST_F(FileOpsTest, APluginsFileNamedLikeATemporaryOneIsLeftAlone) {
  const Text target = data_ + u"\\notes.txt";
  WriteRaw(target + u".tmp", std::string("the plug-in's own"));
  ASSERT_TRUE(CreateDirectoryW(WidePtr(data_ + u"\\notes.bin.tmp"), nullptr));

  EXPECT_EQ(WriteData(target, u"6e6577"), RequestStatus::Success);
  EXPECT_EQ(WriteData(data_ + u"\\notes.bin", u"00"), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(target), "new");
  EXPECT_EQ(ReadRaw(target + u".tmp"), "the plug-in's own");
  EXPECT_TRUE(IsFolder(data_ + u"\\notes.bin.tmp"));
  EXPECT_EQ(Leftovers(data_), 0);
}

TEST_F(FileOpsTest, WriteAimedAtTheDataFolderItselfTouchesNothingBesideIt) {
  // The fresh file of such a write would lie in R itself, outside every data folder.
  const Text folder = Own(roaming_ + u"\\" + UniqueDataFolderName());
  const Text neighbour = Own(folder + u".tmp");
  WriteRaw(neighbour, std::string("someone else's file"));

  EXPECT_EQ(WriteData(folder, u"00"), RequestStatus::Failed);
  EXPECT_EQ(ReadRaw(neighbour), "someone else's file");
  EXPECT_FALSE(Exists(folder));
  EXPECT_EQ(WriteData(data_, u"00"), RequestStatus::Failed);
  EXPECT_TRUE(IsFolder(data_));
  EXPECT_EQ(Leftovers(roaming_), 0);
}

TEST_F(FileOpsTest, ExistsAndDelete) {
  const Text file = data_ + u"\\f.txt";
  WriteRaw(file, std::string("x"));

  EXPECT_EQ(DataExists(file), RequestStatus::Success);
  EXPECT_EQ(DataExists(data_), RequestStatus::Success) << "a folder counts";
  EXPECT_EQ(DataExists(data_ + u"\\nothing.txt"), RequestStatus::NotFound);
  EXPECT_EQ(DataExists(data_ + u"\\absent\\nothing.txt"), RequestStatus::NotFound);

  EXPECT_EQ(DeleteData(file), RequestStatus::Success);
  EXPECT_FALSE(Exists(file));
  EXPECT_EQ(DeleteData(file), RequestStatus::Success) << "already absent";
  EXPECT_EQ(DeleteData(data_ + u"\\absent\\f.txt"), RequestStatus::Failed) << "missing folder";
}

TEST_F(FileOpsTest, CopyInDropsReadOnlyAndOverwritesAnEarlierCopy) {
  const Text source = data_ + u"\\a.png";
  const Text destination = work_ + u"\\x.png";
  WriteRaw(source, std::string("first picture"));
  ASSERT_TRUE(SetFileAttributesW(WidePtr(source), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));

  DebugCapture capture;
  ASSERT_EQ(CopyIn(source, destination), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(destination), "first picture");
  const DWORD attributes = GetFileAttributesW(WidePtr(destination));
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);

  SetFileAttributesW(WidePtr(source), FILE_ATTRIBUTE_NORMAL);
  WriteRaw(source, std::string("second"));
  SetFileAttributesW(WidePtr(source), FILE_ATTRIBUTE_READONLY);
  ASSERT_EQ(CopyIn(source, destination), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(destination), "second");
  EXPECT_EQ(GetFileAttributesW(WidePtr(destination)) & FILE_ATTRIBUTE_READONLY, 0u);

  EXPECT_EQ(CopyIn(data_ + u"\\missing.png", work_ + u"\\m.png"), RequestStatus::NotFound);
  EXPECT_FALSE(Exists(work_ + u"\\m.png"));
  EXPECT_EQ(CopyIn(source, work_ + u"\\absent\\x.png"), RequestStatus::Failed);
  EXPECT_TRUE(capture.Lines().empty()) << "allowed copies write no debugger line";
}

TEST_F(FileOpsTest, RefusedCopiesWriteExactlyOneLineAndTouchNothing) {
  WriteRaw(data_ + u"\\a.png", std::string("p"));
  WriteRaw(data_ + u"\\a.jpg", std::string("j"));
  WriteRaw(data_ + u"\\a.pdf", std::string("d"));
  WriteRaw(work_ + u"\\a.pdf", std::string("d"));
  WriteRaw(work_ + u"\\a.tiff", std::string("t"));
  const std::string copyMalformed = "[TarnvelBroker] file copy denied: malformed key\n";
  const std::string exportMalformed = "[TarnvelBroker] file export denied: malformed key\n";
  ExpectEachRefused({
      {"copy to a folder outside T", false, data_ + u"\\a.png", data_ + u"\\b.png", kCopyOutside},
      {"copy to T's letters but not inside", false, data_ + u"\\a.png", temp_ + u"x\\b.png", kCopyOutside},
      {"copy changing .jpg to .jpeg", false, data_ + u"\\a.jpg", work_ + u"\\b.jpeg", kCopyOutside},
      {"copy of a relative source", false, u"a.png", work_ + u"\\b.png", copyMalformed},
      {"copy climbing out of T", false, data_ + u"\\a.png", work_ + u"\\..\\..\\b.png", copyMalformed},
      {"export from outside T", true, data_ + u"\\a.pdf", data_ + u"\\out\\a.pdf", kExportOutside},
      {"export of a .tiff", true, work_ + u"\\a.tiff", data_ + u"\\out\\a.tiff", kExportOutside},
      {"export changing the extension", true, work_ + u"\\a.pdf", data_ + u"\\out\\a.png", kExportOutside},
      {"export to a stream", true, work_ + u"\\a.pdf", data_ + u"\\out\\a.pdf:s", exportMalformed},
      {"export to a long-path prefix", true, work_ + u"\\a.pdf", u"\\\\?\\" + data_ + u"\\out\\a.pdf", exportMalformed},
  });
  EXPECT_FALSE(Exists(data_ + u"\\b.png"));
  EXPECT_FALSE(Exists(work_ + u"\\b.png"));
  EXPECT_FALSE(Exists(work_ + u"\\b.jpeg"));
  EXPECT_FALSE(Exists(data_ + u"\\out")) << "a refused export creates no folders";
}

// A NUL cut the folder part short where the long-path expansion called the system, so the
// check judged a path the request never named and let it pass.
TEST_F(FileOpsTest, NulInsideTheFolderPartIsRefused) {
  ASSERT_TRUE(CreateDirectoryW(WidePtr(work_ + u"\\sub"), nullptr));
  WriteRaw(data_ + u"\\a.pdf", std::string("%PDF in"));
  WriteRaw(work_ + u"\\sub\\a.pdf", std::string("%PDF out"));
  const Text nulFolder = work_ + u"\\sub" + Text(1, u'\0') + u"x";
  {
    DebugCapture capture;
    EXPECT_EQ(CopyIn(data_ + u"\\a.pdf", nulFolder + u"\\b.pdf"), RequestStatus::Denied);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"[TarnvelBroker] file copy denied: malformed key\n"});
  }
  EXPECT_FALSE(Exists(work_ + u"\\sub\\b.pdf"));
  {
    DebugCapture capture;
    EXPECT_EQ(Export(nulFolder + u"\\a.pdf", data_ + u"\\out\\a.pdf"), RequestStatus::Denied);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"[TarnvelBroker] file export denied: malformed key\n"});
  }
  EXPECT_FALSE(Exists(data_ + u"\\out"));
}

// Windows opens these as devices (NUL swallows the copy and CopyFileW reports success), in
// any folder and with any extension, and drops trailing dots and spaces first.
TEST_F(FileOpsTest, DevicesAndPipesAreRefusedOnBothSides) {
  WriteRaw(data_ + u"\\a.pdf", std::string("%PDF in"));
  WriteRaw(work_ + u"\\a.pdf", std::string("%PDF out"));
  const std::string copyMalformed = "[TarnvelBroker] file copy denied: malformed key\n";
  const std::string exportMalformed = "[TarnvelBroker] file export denied: malformed key\n";
  struct Case {
    bool isExport;
    Text source;
    Text destination;
    std::string line;
  } cases[] = {
      {false, data_ + u"\\a.pdf", work_ + u"\\NUL.pdf", copyMalformed},
      {false, data_ + u"\\a.pdf", work_ + u"\\aux.pdf", copyMalformed},
      {false, data_ + u"\\a.pdf", work_ + u"\\nul .pdf", copyMalformed},
      {false, u"C:\\x\\CON.pdf", work_ + u"\\b.pdf", copyMalformed},
      {false, u"\\\\localhost\\pipe.\\tarnvel-none.pdf", work_ + u"\\b.pdf", copyMalformed},
      {true, work_ + u"\\a.pdf", data_ + u"\\out\\NUL.pdf", exportMalformed},
      {true, work_ + u"\\a.pdf", data_ + u"\\out\\AUX.pdf", exportMalformed},
      {true, work_ + u"\\a.pdf", data_ + u"\\com1\\a.pdf", exportMalformed},
      {true, work_ + u"\\a.pdf", u"\\\\localhost\\pipe\\tarnvel-none.pdf", exportMalformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.destination));
    DebugCapture capture;
    const RequestStatus status = c.isExport ? Export(c.source, c.destination) : CopyIn(c.source, c.destination);
    EXPECT_EQ(status, RequestStatus::Denied);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{c.line});
  }
  EXPECT_FALSE(Exists(data_ + u"\\out"));
  // Only a listing tells: the system answers for "com1" whether or not a folder is there.
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(WidePtr(data_ + u"\\*"), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  std::vector<Text> names;
  do {
    names.push_back(FromWide(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<Text>{u".", u"..", u"a.pdf"}));
}

// Wine makes Unix symbolic links visible to Windows programs, and resolves them the way
// Windows resolves junctions and links; a Windows program under Wine can start a Unix one.
// Empty when the link is there, else why not (on Windows: always, and the test is skipped).
std::string MakeUnixLink(const Text& link, const Text& target, bool symbolic = true) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return "not under Wine";
  char* unixLink = unixName(WidePtr(link));
  char* unixTarget = unixName(WidePtr(target));
  std::wstring command;
  if (unixLink != nullptr && unixTarget != nullptr) {
    // Wine splits a Unix child's command line as Windows does: double quotes group.
    const std::string narrow =
        std::string(symbolic ? "ln -sfn \"" : "ln -f \"") + unixTarget + "\" \"" + unixLink + "\"";
    command.assign(narrow.begin(), narrow.end());
  }
  HeapFree(GetProcessHeap(), 0, unixLink);
  HeapFree(GetProcessHeap(), 0, unixTarget);
  if (command.empty()) return "no Unix names for the link and its target";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(L"Z:\\bin\\ln", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return "cannot start ln (error " + std::to_string(GetLastError()) + ")";
  }
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  // Wine does not wait for a Unix child through its handle: watch for the link instead.
  for (int i = 0; i < 250 && GetFileAttributesW(WidePtr(link)) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(20);
  if (GetFileAttributesW(WidePtr(link)) == INVALID_FILE_ATTRIBUTES) {
    return "ln ran, but the link is not there (error " + std::to_string(GetLastError()) + ")";
  }
  return std::string();
}

// A plug-in may place links inside the temporary folder; a copy through one would write the
// plug-in's bytes anywhere, and an export would read any file. The act touches only what
// lies where the check judged it.
TEST_F(FileOpsTest, LinksInsideTheTemporaryFolderAreNotFollowed) {
  const Text outside = Own(roaming_ + u"\\outside-" + UniqueDataFolderName());
  ASSERT_TRUE(CreateDirectoryW(WidePtr(outside), nullptr));
  WriteRaw(outside + u"\\secret.png", std::string("secret"));
  WriteRaw(data_ + u"\\plugin.png", std::string("plug-in bytes"));
  std::string why = MakeUnixLink(work_ + u"\\folder", outside);
  if (why.empty()) why = MakeUnixLink(work_ + u"\\file.png", outside + u"\\secret.png");
  if (why.empty()) why = MakeUnixLink(work_ + u"\\hard.png", outside + u"\\secret.png", false);
  if (!why.empty()) GTEST_SKIP() << "cannot make a link here: " << why;
  ExpectEachRefused({
      {"copy into a linked folder", false, data_ + u"\\plugin.png", work_ + u"\\folder\\new.png", kCopyOutside},
      {"copy over a linked folder's file", false, data_ + u"\\plugin.png", work_ + u"\\folder\\secret.png",
       kCopyOutside},
      {"copy over a linked file", false, data_ + u"\\plugin.png", work_ + u"\\file.png", kCopyOutside},
      {"export from a linked folder", true, work_ + u"\\folder\\secret.png", data_ + u"\\out1.png", kExportOutside},
      {"export of a linked file", true, work_ + u"\\file.png", data_ + u"\\out2.png", kExportOutside},
      {"copy over a hard-linked file", false, data_ + u"\\plugin.png", work_ + u"\\hard.png", kCopyOutside},
      {"export of a hard-linked file", true, work_ + u"\\hard.png", data_ + u"\\out4.png", kExportOutside},
  });
  EXPECT_EQ(ReadRaw(outside + u"\\secret.png"), "secret");
  EXPECT_FALSE(Exists(outside + u"\\new.png")) << "the copy left a file behind the link";
  EXPECT_FALSE(Exists(data_ + u"\\out1.png"));
  EXPECT_FALSE(Exists(data_ + u"\\out2.png"));
  EXPECT_FALSE(Exists(data_ + u"\\out4.png"));
  // A dangling link as a copy's destination (Wine reported its create as "already exists",
  // so the file made where it pointed was never removed): nothing appears there.
  WriteRaw(outside + u"\\made.png", std::string("x"));
  ASSERT_EQ(MakeUnixLink(work_ + u"\\dangling.png", outside + u"\\made.png"), "");
  ASSERT_TRUE(DeleteFileW(WidePtr(outside + u"\\made.png")));
  const RequestStatus onDangling = CopyIn(data_ + u"\\plugin.png", work_ + u"\\dangling.png");
  EXPECT_FALSE(Exists(outside + u"\\made.png"));
  if (onDangling == RequestStatus::Success) {
    EXPECT_EQ(ReadRaw(work_ + u"\\dangling.png"), "plug-in bytes") << "the link itself was replaced";
  } else {
    EXPECT_EQ(onDangling, RequestStatus::Failed);
  }
  EXPECT_EQ(Leftovers(work_), 0);
  EXPECT_EQ(Leftovers(outside), 0);
  // The same folder without links: the copies work.
  EXPECT_EQ(CopyIn(data_ + u"\\plugin.png", work_ + u"\\plain.png"), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(work_ + u"\\plain.png"), "plug-in bytes");
  EXPECT_EQ(Export(work_ + u"\\plain.png", data_ + u"\\out3.png"), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(data_ + u"\\out3.png"), "plug-in bytes");
}

// What a copy must leave behind before it reports success.
TEST_F(FileOpsTest, OnlyADiskFileIsAnOrdinaryFile) {
  WriteRaw(work_ + u"\\a.pdf", std::string("%PDF"));
  EXPECT_TRUE(IsOrdinaryDiskFile(work_ + u"\\a.pdf"));
  EXPECT_FALSE(IsOrdinaryDiskFile(work_));
  EXPECT_FALSE(IsOrdinaryDiskFile(work_ + u"\\missing.pdf"));
  EXPECT_FALSE(IsOrdinaryDiskFile(u"NUL"));
  EXPECT_FALSE(IsOrdinaryDiskFile(work_ + u"\\NUL.pdf"));
  const Text pipe = u"\\\\.\\pipe\\tarnvel-files-" + UniqueDataFolderName();
  UniqueHandle server(CreateNamedPipeW(WidePtr(pipe), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(server.valid());
  EXPECT_FALSE(IsOrdinaryDiskFile(pipe));
}

// A file with a second name (a hard link) is data that is also a file elsewhere: no copy
// reads it as its source, a copy-in never replaces it (the plug-in may plant links in the
// temporary folder), and an export replaces only the name it was given. The other name keeps
// its data in every case.
TEST_F(FileOpsTest, AFileWithAnotherNameIsNeitherCopiedNorChangedThroughIt) {
  WriteRaw(work_ + u"\\plain.png", std::string("new"));
  WriteRaw(data_ + u"\\plain.png", std::string("new"));
  enum Act { In, Out };
  const struct {
    Act act;
    bool linkedSource;  // else the destination has the second name
    bool copied;
  } cases[] = {{In, true, false}, {In, false, false}, {Out, true, false}, {Out, false, true}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << n);
    const Text from = c.act == In ? data_ : work_;
    const Text to = c.act == In ? work_ : data_;
    const Text name = u"\\l" + AsciiText(std::to_string(n++).c_str()) + u".png";
    const Text linked = c.linkedSource ? from + name : to + name;
    WriteRaw(linked, std::string("old"));
    const Text other = (c.linkedSource ? from : to) + u"\\other-" + name.substr(1);
    ASSERT_TRUE(CreateHardLinkW(WidePtr(other), WidePtr(linked), nullptr));
    const Text source = c.linkedSource ? linked : from + u"\\plain.png";
    const RequestStatus status = c.act == In ? CopyIn(source, to + name) : Export(source, to + name);
    EXPECT_EQ(status == RequestStatus::Success, c.copied);
    EXPECT_EQ(ReadRaw(to + name), c.copied ? "new" : c.linkedSource ? "<missing>" : "old");
    EXPECT_EQ(ReadRaw(other), "old");
    EXPECT_EQ(Leftovers(to), 0);
  }
}

// A file put in place keeps the replaced file's attributes (a copy-in's are plain), and one
// Windows will not replace (read-only) is left exactly as it was; no act leaves its fresh file.
TEST_F(FileOpsTest, AReplacedFileKeepsItsAttributesOrStaysAsItWas) {
  WriteRaw(work_ + u"\\src.png", std::string("new"));
  WriteRaw(data_ + u"\\src.png", std::string("new"));
  enum Act { Write, In, Out };
  const struct {
    Act act;
    DWORD before;
    RequestStatus status;
    DWORD after;  // FILE_ATTRIBUTE_* bits kept, of hidden and read-only
  } cases[] = {
      {Write, FILE_ATTRIBUTE_HIDDEN, RequestStatus::Success, FILE_ATTRIBUTE_HIDDEN},
      {Out, FILE_ATTRIBUTE_HIDDEN, RequestStatus::Success, FILE_ATTRIBUTE_HIDDEN},
      {In, FILE_ATTRIBUTE_HIDDEN, RequestStatus::Success, 0},
      {Write, FILE_ATTRIBUTE_READONLY, RequestStatus::Failed, FILE_ATTRIBUTE_READONLY},
      {Out, FILE_ATTRIBUTE_READONLY, RequestStatus::Failed, FILE_ATTRIBUTE_READONLY},
      {In, FILE_ATTRIBUTE_READONLY, RequestStatus::Failed, FILE_ATTRIBUTE_READONLY},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << n);
    const Text folder = c.act == In ? work_ : data_;
    const Text target = folder + u"\\t" + AsciiText(std::to_string(n++).c_str()) + u".png";
    WriteRaw(target, std::string("old"));
    ASSERT_TRUE(SetFileAttributesW(WidePtr(target), c.before));
    const RequestStatus status = c.act == Write ? WriteData(target, u"6e6577")
                                 : c.act == In  ? CopyIn(data_ + u"\\src.png", target)
                                                : Export(work_ + u"\\src.png", target);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(ReadRaw(target), status == RequestStatus::Success ? "new" : "old");
    EXPECT_EQ(GetFileAttributesW(WidePtr(target)) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), c.after);
    EXPECT_EQ(Leftovers(folder), 0);
    SetFileAttributesW(WidePtr(target), FILE_ATTRIBUTE_NORMAL);
  }
}

TEST_F(FileOpsTest, ExportCreatesEveryMissingFolderLevel) {
  const Text source = work_ + u"\\a.pdf";
  WriteRaw(source, std::string("%PDF-1.4 export"));
  const Text out = data_ + u"\\out";

  EXPECT_EQ(Export(work_ + u"\\missing.pdf", out + u"\\a.pdf"), RequestStatus::NotFound);
  EXPECT_FALSE(Exists(out)) << "a missing source creates no folders";

  DebugCapture capture;
  ASSERT_EQ(Export(source, out + u"\\deep\\er\\a.pdf"), RequestStatus::Success);
  EXPECT_TRUE(IsFolder(out));
  EXPECT_TRUE(IsFolder(out + u"\\deep"));
  EXPECT_TRUE(IsFolder(out + u"\\deep\\er"));
  EXPECT_EQ(ReadRaw(out + u"\\deep\\er\\a.pdf"), "%PDF-1.4 export");

  // An existing destination is overwritten.
  WriteRaw(source, std::string("%PDF-1.4 second"));
  ASSERT_EQ(Export(source, out + u"\\deep\\er\\a.pdf"), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(out + u"\\deep\\er\\a.pdf"), "%PDF-1.4 second");
  EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(FileOpsTest, ShortNamesAreExpandedBeforeTheyAreJudged) {
  // T is moved below a folder whose 8.3 name differs from its long name, so a destination
  // written with short names lies inside T only once it has been expanded.
  const Text local = Own(roaming_ + u"\\Tarnvel local folder " + UniqueDataFolderName());
  const Text longTemp = local + u"\\Temp";
  ASSERT_TRUE(CreateDirectoryW(WidePtr(local), nullptr));
  ASSERT_TRUE(CreateDirectoryW(WidePtr(longTemp), nullptr));
  const Text shortTemp = ShortPath(longTemp);
  if (shortTemp.empty() || SameIgnoringCase(shortTemp, longTemp)) GTEST_SKIP() << "no 8.3 names in this prefix";

  LocalAppDataOverride moved(local);
  ASSERT_TRUE(SameIgnoringCase(KnownFolder(CSIDL_LOCAL_APPDATA), local)) << "the folder look-up ignored the override";
  const Text source = data_ + u"\\a.png";
  WriteRaw(source, std::string("picture"));

  DebugCapture capture;
  EXPECT_EQ(CopyIn(source, shortTemp + u"\\x.png"), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(longTemp + u"\\x.png"), "picture");

  const Text exported = data_ + u"\\exported.png";
  EXPECT_EQ(Export(shortTemp + u"\\x.png", exported), RequestStatus::Success);
  EXPECT_EQ(ReadRaw(exported), "picture");
  EXPECT_TRUE(capture.Lines().empty());
}

}  // namespace
