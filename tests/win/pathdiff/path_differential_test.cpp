// SPDX-License-Identifier: Apache-2.0
// The path checks judge a text; Windows opens what its own path conversion makes of it.
// Thousands of paths from a seeded grammar (separators, "." and "..", trailing dots and
// spaces, device names, "\\?\" and "\\.\" prefixes, UNC forms, NULs, case and non-ASCII
// variants, long components) are judged by the data-file, copy-in, export and shell-document
// checks, and every allowed one is converted by the system (ntdll's DOS-to-NT conversion, which
// is what CreateFileW uses): it must land inside the folder its check allowed, and never on a
// device, a pipe or a mailslot. A failure prints the seed and the path; fixed ones stay below as
// cases. What counts as a device or a plug-in folder is written here apart from the policy's
// own, so that a fault in one is not repeated in the other.
#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "base/wide_text_win.h"
#include "requests/folders_win.h"
#include "requests/path_policy.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

namespace {

using RtlDosPathNameToNtPathNameFn = BOOLEAN(NTAPI*)(PCWSTR, PUNICODE_STRING, PWSTR*, PVOID);
using RtlFreeUnicodeStringFn = VOID(NTAPI*)(PUNICODE_STRING);

// The NT path CreateFileW would open for `path`, lower-cased; empty when it has
// none.
Text NtPath(const Text& path) {
  static const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  static const auto convert = reinterpret_cast<RtlDosPathNameToNtPathNameFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDosPathNameToNtPathName_U")));
  static const auto release =
      reinterpret_cast<RtlFreeUnicodeStringFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlFreeUnicodeString")));
  if (convert == nullptr || release == nullptr) return Text();
  // The system call reads up to the first NUL, as CreateFileW does.
  UNICODE_STRING nt{};
  if (!convert(WidePtr(path), &nt, nullptr, nullptr)) return Text();
  Text out = AsciiLower(FromWide(nt.Buffer, nt.Length / sizeof(wchar_t)));
  release(&nt);
  return out;
}

Text TrimDotsAndSpaces(Text c) {
  while (!c.empty() && (c.back() == u'.' || c.back() == u' ')) c.pop_back();
  return c;
}

std::vector<Text> Components(const Text& nt, size_t from) {
  std::vector<Text> out;
  size_t start = from;
  while (start < nt.size()) {
    size_t end = nt.find(u'\\', start);
    if (end == Text::npos) end = nt.size();
    out.push_back(nt.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

bool IsDeviceName(const Text& component) {
  Text base = TrimDotsAndSpaces(component);
  base = base.substr(0, base.find_first_of(u".:"));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  static const char16_t* const fixed[] = {u"con", u"prn", u"aux", u"nul", u"conin$", u"conout$", u"clock$"};
  for (const char16_t* f : fixed) {
    if (base == f) return true;
  }
  return base.size() == 4 && (base.compare(0, 3, u"com") == 0 || base.compare(0, 3, u"lpt") == 0) &&
         ((base[3] >= u'0' && base[3] <= u'9') || base[3] == 0xB9 || base[3] == 0xB2 || base[3] == 0xB3);
}

// A file on a disk or on an ordinary share: "\??\c:\..." or
// "\??\unc\host\share\...", with no component that the file system would take
// for a device. A shell document may also name a share's root or climb.
bool IsDiskFile(const Text& nt, std::string& why, bool shell = false) {
  size_t rest = 0;
  if (nt.size() > 7 && nt.compare(0, 4, u"\\??\\") == 0 && nt[5] == u':' && nt[6] == u'\\') {
    rest = 7;
  } else if (nt.compare(0, 8, u"\\??\\unc\\") == 0) {
    std::vector<Text> parts = Components(nt, 8);
    if (parts.size() < (shell ? 2 : 3)) return why = "a share root", false;
    const Text share = TrimDotsAndSpaces(parts[1]);
    if (share == u"pipe" || share == u"mailslot") return why = "a pipe or mailslot share", false;
    rest = 8;
  } else {
    return why = "not a disk path", false;
  }
  for (const Text& c : Components(nt, rest)) {
    if (IsDeviceName(c)) return why = "a device name component", false;
    // Left by the conversion, ".." would climb wherever the file system resolves it.
    if (!shell && !c.empty() && c.find_first_not_of(u". ") == Text::npos) {
      return why = "a dots-only component", false;
    }
  }
  return true;
}

bool IsPluginFolderName(const Text& c) {
  if (c == u"tarnvel") return true;
  if (c.size() != 15 || c.compare(0, 7, u"tarnvel") != 0) return false;
  for (size_t i = 7; i < c.size(); ++i) {
    if (!((c[i] >= u'0' && c[i] <= u'9') || (c[i] >= u'a' && c[i] <= u'f'))) return false;
  }
  return true;
}

// Inside `folderNt` (strictly below it); with `pluginFolder`, inside one of its
// plug-in folders.
bool LandsInside(const Text& nt, const Text& folderNt, bool pluginFolder, std::string& why) {
  if (!IsDiskFile(nt, why)) return false;
  if (nt.size() <= folderNt.size() + 1 || nt.compare(0, folderNt.size(), folderNt) != 0 ||
      nt[folderNt.size()] != u'\\') {
    return why = "outside the folder", false;
  }
  if (pluginFolder && !IsPluginFolderName(Components(nt, folderNt.size() + 1)[0])) {
    return why = "outside the plug-in folders", false;
  }
  return true;
}

struct Finding {
  std::string check;
  Text path;
  std::string why;
};

class Judge {
 public:
  Judge() : data_(AppDataFolder()), temp_(LocalTempFolder()), dataNt_(NtPath(data_)), tempNt_(NtPath(temp_)) {}
  bool ready() const { return !data_.empty() && !temp_.empty() && !dataNt_.empty() && !tempNt_.empty(); }
  const Text& data() const { return data_; }
  const Text& temp() const { return temp_; }
  const std::vector<Finding>& findings() const { return findings_; }
  size_t allowed() const { return allowed_; }

  // Every check that takes `p` somewhere, judged on the text the dispatcher
  // judges (a copy's temporary-folder side after the long-path expansion).
  void All(const Text& p) {
    if (CheckAppDataPath(p, data_) == Allow) Expect("data file", p, LandsInsideFolder(p, dataNt_, true));
    const Text expanded = ExpandLongPath(p);
    for (const char16_t* ext : {u".png", u".pdf"}) {
      const Text outside = Text(u"C:\\outside\\picture") + ext;
      const Text inside = temp_ + u"\\picture" + ext;
      if (CheckCopyIn(outside, expanded, temp_) == Allow) {
        Expect("copy-in destination", p, LandsInsideFolder(expanded, tempNt_, false));
      }
      if (CheckCopyIn(p, inside, temp_) == Allow) Expect("copy-in source", p, OnDisk(p));
      if (CheckExport(inside, p, temp_) == Allow) Expect("export destination", p, OnDisk(p));
    }
    // A document the shell opens anywhere, relative to its folder too, but only on a disk.
    const Text l = AsciiLower(p);
    if (l.compare(0, 7, u"http://") != 0 && l.compare(0, 8, u"https://") != 0 && CheckShellTarget(p) == Allow) {
      std::string why;
      Expect("shell document", p, IsDiskFile(NtPath(p), why, true) ? std::string() : why);
    }
    const Text x = AsciiLower(ExtensionOf(AsciiLower(expanded)));
    if (!x.empty() && CheckExport(expanded, u"C:\\outside\\picture" + x, temp_) == Allow) {
      Expect("export source", p, LandsInsideFolder(expanded, tempNt_, false));
    }
  }

 private:
  std::string LandsInsideFolder(const Text& p, const Text& folderNt, bool pluginFolder) {
    std::string why;
    return LandsInside(NtPath(p), folderNt, pluginFolder, why) ? std::string() : why;
  }
  std::string OnDisk(const Text& p) {
    std::string why;
    return IsDiskFile(NtPath(p), why) ? std::string() : why;
  }
  void Expect(const char* check, const Text& p, const std::string& why) {
    ++allowed_;
    if (!why.empty()) findings_.push_back({check, p, why + " (NT path " + Printable(NtPath(p)) + ")"});
  }

 public:
  static std::string Printable(const Text& t) {
    std::string s;
    for (char16_t c : t) {
      char buf[12];
      if (c >= 0x20 && c < 0x7F) {
        s.push_back(static_cast<char>(c));
      } else {
        snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
        s += buf;
      }
    }
    return s;
  }

 private:
  Text data_, temp_, dataNt_, tempNt_;
  std::vector<Finding> findings_;
  size_t allowed_ = 0;
};

// Paths from the grammar: a spelling of one of the two folders (or of something
// else), then components joined by separators, the last one often with an
// extension.
class Grammar {
 public:
  Grammar(const Judge& judge, uint32_t seed) : random_(seed) {
    const Text folders[] = {judge.data(), judge.temp()};
    for (const Text& f : folders) {
      Text slashed = f;
      for (char16_t& c : slashed) c = c == u'\\' ? u'/' : c;
      Text upper = f;
      for (char16_t& c : upper) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
      const Text rest = f.substr(2);  // without "C:"
      prefixes_.insert(prefixes_.end(), {f, f, f, slashed, upper, u"\\\\?\\" + f, u"\\\\.\\" + f, u"//?/" + f,
                                         u"\\\\?\\UNC\\localhost\\c$" + rest, u"\\\\localhost\\c$" + rest,
                                         u"\\\\127.0.0.1\\C$" + rest, f + u"\\.", f + u"\\..\\" + Last(f),
                                         f.substr(0, 2) + rest.substr(0, rest.rfind(u'\\')) + u"\\.\\" + Last(f)});
    }
    prefixes_.insert(prefixes_.end(), {u"C:",
                                       u"C:\\",
                                       u"\\\\localhost\\pipe",
                                       u"\\\\.\\pipe",
                                       u"\\\\?\\pipe",
                                       u"\\\\localhost\\pipe.",
                                       u"\\\\localhost\\mailslot",
                                       u"\\\\.\\",
                                       u"\\\\?\\",
                                       u"\\\\?\\GLOBALROOT\\Device\\Null",
                                       u"C:\\windows",
                                       u"\\\\server\\share",
                                       u"docs",
                                       u"C:docs",
                                       u"\\\\127.0.0.1\\IPC$",
                                       u"\\\\?\\UNC\\localhost\\pipe",
                                       u"\\\\.\\C:\\..",
                                       u"\\\\localhost\\c$\\..",
                                       u"\\??\\pipe",
                                       u"\\??\\C:"});
  }

  Text Next() {
    Text p = Pick(prefixes_);
    const size_t n = Below(5);
    for (size_t i = 0; i < n; ++i) p += Pick(kSeparators) + Component();
    if (Below(3) != 0) p += Pick(kExtensions);
    return p;
  }

 private:
  static Text Last(const Text& f) { return f.substr(f.rfind(u'\\') + 1); }
  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  template <typename T>
  Text Pick(const T& table) {
    return Text(table[Below(std::size(table))]);
  }
  Text Pick(const std::vector<Text>& table) { return table[Below(table.size())]; }

  Text Component() {
    switch (Below(12)) {
      case 0:
        return Text(200 + Below(80), u'a');  // past MAX_PATH with a few of them
      case 1:
        return Text(u"a\0b", 3);
      default:
        return Pick(kComponents);
    }
  }

  static constexpr const char16_t* kSeparators[] = {u"\\", u"\\", u"/", u"\\\\", u"\\/"};
  static constexpr const char16_t* kExtensions[] = {u".png",        u".pdf", u".PNG", u".png.",  u".png ", u".png. .",
                                                    u".png::$DATA", u".jpg", u".txt", u":x.png", u".html"};
  static constexpr const char16_t* kComponents[] = {u"tarnvel",
                                                    u"Tarnvel",
                                                    u"TARNVEL",
                                                    u"tarnvel0123abcd",
                                                    u"TARNVEL0123ABCD",
                                                    u"tarnvel.",
                                                    u"tarnvel ",
                                                    u"tarnvel. .",
                                                    u"tarnvelx",
                                                    u".",
                                                    u"..",
                                                    u"...",
                                                    u". ",
                                                    u".. ",
                                                    u"..  ",
                                                    u" ..",
                                                    u". .",
                                                    u"x",
                                                    u"sub",
                                                    u"a b",
                                                    u"x.",
                                                    u"x ",
                                                    u"nul",
                                                    u"NUL",
                                                    u"nul.png",
                                                    u"nul .png",
                                                    u"con.pdf",
                                                    u"aux.",
                                                    u"com1",
                                                    u"COM1.jpg",
                                                    u"lpt9",
                                                    u"conin$",
                                                    u"clock$",
                                                    u"com\u00b9",
                                                    u"pipe",
                                                    u"pipe.",
                                                    u"mailslot",
                                                    u"localhost",
                                                    u"c$",
                                                    u"picture",
                                                    u"picture.",
                                                    u"?",
                                                    u"*",
                                                    u"tarnve\u0142",
                                                    u"\uff54arnvel",
                                                    u"\u0130",
                                                    u"x::$DATA",
                                                    u"a:b",
                                                    u"~1",
                                                    u"TARN~1",
                                                    u"users",
                                                    u"AppData",
                                                    u"Temp",
                                                    u"Roaming",
                                                    u"Local"};

  std::mt19937 random_;
  std::vector<Text> prefixes_;
};

uint32_t Seed() {
  const char* env = getenv("TARNVEL_PATH_SEED");
  return env != nullptr ? static_cast<uint32_t>(strtoul(env, nullptr, 10)) : 20261209u;
}

void Report(const Judge& judge, uint32_t seed) {
  for (size_t i = 0; i < judge.findings().size() && i < 25; ++i) {
    const Finding& f = judge.findings()[i];
    ADD_FAILURE() << "seed " << seed << ": " << f.check << " allowed \"" << Judge::Printable(f.path) << "\": " << f.why;
  }
}

// Paths the grammar found allowed before their checks were mended, kept as they were found
// (with the two folders put in).
TEST(PathDifferential, PathsFoundEarlierStayWhereTheirCheckAllowed) {
  Judge judge;
  ASSERT_TRUE(judge.ready());
  const Text& r = judge.data();
  const Text& t = judge.temp();
  const Text found[] = {
      u"\\\\localhost\\mailslot\\/x.\\/tarnvel .PNG",
      u"\\\\localhost\\mailslot.png",
      u"\\\\localhost\\mailslot:x.png",
      u"\\\\localhost\\pipe.:x.png",
      u"\\\\localhost\\pipe..pdf",
      u"\\\\server\\share.PNG",
      r + u"\\\\tarnvel\\/conin$/conin$.jpg",
      r + u"\\tarnvel\\con",
      r + u"\\tarnvel\\nul.txt",
      r + u"\\tarnvel\\...\\x.png",
      r + u"\\tarnvel\\.. \\x.png",
      t + u"\\x\\...\\..\\y.png",
      t + u"\\...\\y.png",
      u"\\\\.\\C:\\..\\pipe\\x.txt",
      u"\\\\localhost\\c$\\..\\..\\pipe\\x.txt",
  };
  for (const Text& p : found) judge.All(p);
  Report(judge, 0);
  EXPECT_EQ(judge.findings().size(), 0u);
}

TEST(PathDifferential, AllowedPathsLandWhereTheirCheckAllowed) {
  Judge judge;
  ASSERT_TRUE(judge.ready());
  const uint32_t seed = Seed();
  Grammar grammar(judge, seed);
  constexpr int Count = 4000;
  for (int i = 0; i < Count; ++i) judge.All(grammar.Next());
  Report(judge, seed);
  EXPECT_EQ(judge.findings().size(), 0u);
  // The grammar must reach the allowed side, or the comparison proves nothing.
  EXPECT_GT(judge.allowed(), static_cast<size_t>(Count / 10));
  printf(
      "%d paths, %zu allowed judgements compared with the system's "
      "conversion (seed %u)\n",
      Count, judge.allowed(), seed);
}

}  // namespace
