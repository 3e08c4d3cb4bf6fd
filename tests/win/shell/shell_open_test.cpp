// SPDX-License-Identifier: Apache-2.0
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "requests/path_policy.h"
#include "support/debug_capture.h"
#include "support/system_request_win.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

namespace {

// Where the test handlers go. Wine 8 reads associations from HKLM\Software\Classes only;
// on Windows HKCU\Software\Classes would serve and needs no elevation.
struct ClassesRoot {
  HKEY hive;
  const wchar_t* path;
};
const ClassesRoot kClassesRoot{HKEY_LOCAL_MACHINE, L"Software\\Classes"};
constexpr wchar_t kRecorderProgId[] = L"TarnvelTest.ShellRecorder";

// A Unix path of the build tree under Wine's Z: drive; a Windows build's path as it is.
std::wstring WinePath(const char* unixPath) {
  std::wstring out = unixPath[0] == '/' ? L"Z:" : L"";
  for (const char* p = unixPath; *p; ++p) out.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(*p));
  return out;
}

std::wstring RecorderExe() { return WinePath(TARNVEL_TEST_PROGRAMS_DIR) + L"\\shell_recorder.exe"; }

std::wstring TempDir() {
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, n);
}

// Sets the default value of a key below the classes root and puts back what was there.
class ScopedDefaultValue {
 public:
  ScopedDefaultValue(const std::wstring& subkey, const std::wstring& value) : path_(Full(subkey)) {
    UniqueRegKey key;
    if (RegCreateKeyExW(kClassesRoot.hive, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS) {
      return;
    }
    wchar_t old[1024] = {};
    DWORD bytes = sizeof old - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(old), &bytes) == ERROR_SUCCESS &&
        type == REG_SZ) {
      had_ = true;
      old_ = old;
    }
    ok_ = RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  ~ScopedDefaultValue() {
    UniqueRegKey key;
    if (RegOpenKeyExW(kClassesRoot.hive, path_.c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) return;
    if (had_) {
      RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(old_.c_str()),
                     static_cast<DWORD>((old_.size() + 1) * sizeof(wchar_t)));
    } else {
      RegDeleteValueW(key.get(), nullptr);
    }
  }
  bool ok() const { return ok_; }

 private:
  static std::wstring Full(const std::wstring& subkey) { return std::wstring(kClassesRoot.path) + L"\\" + subkey; }
  std::wstring path_;
  std::wstring old_;
  bool had_ = false;
  bool ok_ = false;
};

// The recorder as "open" handler of .txt documents and of http and https URLs.
class RecorderRegistration {
 public:
  RecorderRegistration() {
    const std::wstring command = L"\"" + RecorderExe() + L"\" \"%1\"";
    const std::wstring progId = kRecorderProgId;
    values_.emplace_back(new ScopedDefaultValue(progId + L"\\shell\\open\\command", command));
    values_.emplace_back(new ScopedDefaultValue(L".txt", progId));
    values_.emplace_back(new ScopedDefaultValue(L"http\\shell\\open\\command", command));
    values_.emplace_back(new ScopedDefaultValue(L"https\\shell\\open\\command", command));
  }
  ~RecorderRegistration() {
    values_.clear();
    UniqueRegKey classes;
    if (RegOpenKeyExW(kClassesRoot.hive, kClassesRoot.path, 0, KEY_ALL_ACCESS, classes.put()) == ERROR_SUCCESS) {
      RegDeleteTreeW(classes.get(), kRecorderProgId);
      RegDeleteKeyW(classes.get(), kRecorderProgId);
    }
  }
  bool ok() const {
    for (const auto& v : values_) {
      if (!v->ok()) return false;
    }
    return true;
  }

 private:
  std::vector<std::unique_ptr<ScopedDefaultValue>> values_;
};

std::wstring RecordPath() { return TempDir() + L"tarnvel_shell_record.bin"; }

// The recorder runs asynchronously to ShellExecuteW; wait for its record.
bool WaitForRecord(std::wstring& record, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  do {
    UniqueHandle file(CreateFileW(RecordPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      wchar_t buffer[4096];
      DWORD read = 0;
      if (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
        record.assign(buffer, read / sizeof(wchar_t));
        return true;
      }
    }
    Sleep(50);
  } while (GetTickCount64() < deadline);
  return false;
}

// Each call runs on a thread of its own so that its COM state is the test's to choose.
void OnFreshThread(const std::function<void()>& body) { std::thread(body).join(); }

// As the broker serves it: judged by the dispatcher, then opened.
RequestStatus Open(const Text& target) { return SystemRequest(RequestOp::ShellOpen, 0, target).status; }

class ShellOpenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    registration_ = new RecorderRegistration();
    SetEnvironmentVariableW(L"TARNVEL_SHELL_RECORD", RecordPath().c_str());
  }
  static void TearDownTestSuite() {
    delete registration_;
    registration_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(registration_->ok()) << "could not register the recorder below the classes root";
    DeleteFileW(RecordPath().c_str());
  }
  void TearDown() override { DeleteFileW(RecordPath().c_str()); }

  static RecorderRegistration* registration_;
};
RecorderRegistration* ShellOpenTest::registration_ = nullptr;

const Text kMissingDocument = u"C:\\tarnvel-no-such-folder\\missing.txt";

TEST_F(ShellOpenTest, UrlReachesHandlerExactlyAsCarried) {
  for (const Text& target : {Text(u"HTTP://Tarnvel.Invalid/Page?Q=A"), Text(u"https://tarnvel.invalid/Some/Path#F")}) {
    DeleteFileW(RecordPath().c_str());
    DebugCapture capture;
    RequestStatus status = RequestStatus::BadArgument;
    OnFreshThread([&] { status = Open(target); });
    EXPECT_EQ(status, RequestStatus::Success);
    std::wstring record;
    ASSERT_TRUE(WaitForRecord(record, 10000)) << "the handler was not started";
    EXPECT_EQ(FromWide(record), target);
    EXPECT_TRUE(capture.Lines().empty());
  }
}

// The longest target allowed goes through the shell's whole path, the handler's command
// line included, without harm; one unit more never reaches the shell.
TEST_F(ShellOpenTest, LongestUrlReachesHandlerAndOneMoreIsRefused) {
  const Text base = u"https://tarnvel.invalid/";
  const Text longest = base + Text(MaxShellTargetLength - base.size(), u'q');
  RequestStatus status = RequestStatus::BadArgument;
  OnFreshThread([&] { status = Open(longest); });
  EXPECT_EQ(status, RequestStatus::Success);
  std::wstring record;
  ASSERT_TRUE(WaitForRecord(record, 10000)) << "the handler was not started";
  EXPECT_EQ(FromWide(record), longest);

  DeleteFileW(RecordPath().c_str());
  DebugCapture capture;
  OnFreshThread([&] { status = Open(longest + u"q"); });
  EXPECT_EQ(status, RequestStatus::Denied);
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{"[TarnvelBroker] shell open denied: malformed key\n"});
  EXPECT_FALSE(WaitForRecord(record, 1000));
}

TEST_F(ShellOpenTest, DocumentReachesHandlerExactlyAsCarried) {
  const std::wstring document = TempDir() + L"Tarnvel Shell Report.TXT";
  {
    UniqueHandle file(CreateFileW(document.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
  }
  RequestStatus status = RequestStatus::BadArgument;
  OnFreshThread([&] { status = Open(FromWide(document)); });
  EXPECT_EQ(status, RequestStatus::Success);
  std::wstring record;
  EXPECT_TRUE(WaitForRecord(record, 10000)) << "the handler was not started";
  EXPECT_EQ(record, document);
  DeleteFileW(document.c_str());
}

TEST_F(ShellOpenTest, RefusedTargetsNeverReachTheShell) {
  const std::wstring document = TempDir() + L"tarnvel-refused.txt";
  {
    UniqueHandle file(CreateFileW(document.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
  }
  // Each of these would start the recorder if it reached the shell.
  const struct {
    Text target;
    const char* line;
  } cases[] = {
      {FromWide(RecorderExe()), "[TarnvelBroker] shell open denied: outside Tarnvel subtree\n"},
      {FromWide(L"\"" + document + L"\""), "[TarnvelBroker] shell open denied: malformed key\n"},
      {u"C:\\docs\\report.exe", "[TarnvelBroker] shell open denied: outside Tarnvel subtree\n"},
      {u"-r.txt", "[TarnvelBroker] shell open denied: malformed key\n"},
      // The '"' would close the handler's "%1" and pass the rest as arguments of its own.
      {u"http://tarnvel.invalid/\" --new-window x", "[TarnvelBroker] shell open denied: malformed key\n"},
      {u"HTTPS://tarnvel.invalid/a\"b", "[TarnvelBroker] shell open denied: malformed key\n"},
  };
  for (const auto& c : cases) {
    DebugCapture capture;
    RequestStatus status = RequestStatus::BadArgument;
    OnFreshThread([&] { status = Open(c.target); });
    EXPECT_EQ(status, RequestStatus::Denied);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{c.line});
  }
  std::wstring record;
  EXPECT_FALSE(WaitForRecord(record, 1500))
      << "the shell started the handler with: " << ::testing::PrintToString(FromWide(record));
  DeleteFileW(document.c_str());
}

TEST_F(ShellOpenTest, MissingDocumentFailsWithShellCodeAndLeavesComUninitialised) {
  DebugCapture capture;
  RequestStatus status = RequestStatus::BadArgument;
  HRESULT afterwards = E_FAIL;
  OnFreshThread([&] {
    status = Open(kMissingDocument);
    afterwards = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(afterwards)) CoUninitialize();
  });
  EXPECT_EQ(status, RequestStatus::Failed);
  EXPECT_EQ(capture.Lines(),
            std::vector<std::string>{"[TarnvelBroker] ShellExecuteW failed: rc=2 hrCoInit=0x00000000\n"});
  EXPECT_EQ(afterwards, S_OK) << "COM was left initialised on the calling thread";
}

// The thread initialised COM once before the call. Afterwards exactly one initialisation
// must remain: a probe initialisation still finds COM (S_FALSE), and after two
// CoUninitialize calls (the probe's and the test's) COM is gone (a fresh init gives S_OK).
struct ApartmentCase {
  const char* name;
  DWORD model;
  Text target;
  RequestStatus status;
  const char* line;  // nullptr: no line expected
};

class ShellOpenApartmentTest : public ShellOpenTest, public ::testing::WithParamInterface<ApartmentCase> {};

TEST_P(ShellOpenApartmentTest, InitialisationCountOfCallingThreadUnchanged) {
  const ApartmentCase& c = GetParam();
  DebugCapture capture;
  HRESULT before = E_FAIL, probe = E_FAIL, fresh = E_FAIL;
  RequestStatus status = RequestStatus::BadArgument;
  OnFreshThread([&] {
    before = CoInitializeEx(nullptr, c.model);
    status = Open(c.target);
    probe = CoInitializeEx(nullptr, c.model);
    if (SUCCEEDED(probe)) CoUninitialize();
    if (SUCCEEDED(before)) CoUninitialize();
    fresh = CoInitializeEx(nullptr, c.model);
    if (SUCCEEDED(fresh)) CoUninitialize();
  });
  ASSERT_EQ(before, S_OK);
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(probe, S_FALSE) << "the call released the caller's own COM initialisation";
  EXPECT_EQ(fresh, S_OK) << "the call left an extra COM initialisation behind";
  if (c.line) {
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{c.line});
  } else {
    EXPECT_TRUE(capture.Lines().empty());
    std::wstring record;
    EXPECT_TRUE(WaitForRecord(record, 10000)) << "the handler was not started";
    EXPECT_EQ(FromWide(record), c.target);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, ShellOpenApartmentTest,
    ::testing::Values(
        // Same model: the call's own init gives S_FALSE and is balanced by its CoUninitialize.
        ApartmentCase{"StaMissing", COINIT_APARTMENTTHREADED, kMissingDocument, RequestStatus::Failed,
                      "[TarnvelBroker] ShellExecuteW failed: rc=2 hrCoInit=0x00000001\n"},
        ApartmentCase{"StaUrl", COINIT_APARTMENTTHREADED, u"http://tarnvel.invalid/sta", RequestStatus::Success,
                      nullptr},
        // Other model: the init fails with RPC_E_CHANGED_MODE and must not be "balanced".
        ApartmentCase{"MtaMissing", COINIT_MULTITHREADED, kMissingDocument, RequestStatus::Failed,
                      "[TarnvelBroker] ShellExecuteW failed: rc=2 hrCoInit=0x80010106\n"},
        ApartmentCase{"MtaUrl", COINIT_MULTITHREADED, u"http://tarnvel.invalid/mta", RequestStatus::Success, nullptr}),
    [](const ::testing::TestParamInfo<ApartmentCase>& info) { return std::string(info.param.name); });

}  // namespace
