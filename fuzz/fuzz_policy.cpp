// SPDX-License-Identifier: Apache-2.0
// Arbitrary UTF-16 texts through the key and path policies and the text conversions.
// Input: UTF-16LE code units; U+FFFF splits it into up to four texts (a, b, c, d).
// Each allowed verdict must satisfy what the policy promises its callers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "registry/key_policy.h"
#include "base/decimal.h"
#include "base/nul_list.h"
#include "base/hex.h"
#include "requests/path_policy.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool StartsWith(const Text& t, const Text& p) { return t.size() >= p.size() && t.compare(0, p.size(), p) == 0; }
bool EndsWith(const Text& t, const Text& s) {
  return t.size() >= s.size() && t.compare(t.size() - s.size(), s.size(), s) == 0;
}
bool HasNul(const Text& t) { return t.find(char16_t(0)) != Text::npos; }

Text AsciiLower(Text t) {
  for (char16_t& c : t) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  }
  return t;
}

bool UnderRoot(const Text& n, const Text& root) { return n == root || StartsWith(n, root + u"\\"); }

void CheckNormalisation(const Text& a) {
  const Text n = NormaliseForPolicy(a);
  Check(NormaliseForPolicy(n) == n);
  Check(AsciiLower(CanonicalRegistryKey(a)) == n);
  Check(CanonicalRegistryKey(CanonicalRegistryKey(a)) == CanonicalRegistryKey(a));
  Check(n.find(u'/') == Text::npos && n.find(u"\\\\") == Text::npos);
  Check(n.empty() || (n.front() != u'\\' && n.back() != u'\\'));
  for (char16_t c : n) Check(c < u'A' || c > u'Z');
}

// The verdict the key rules call for, worked out apart from the policy's own code.
PolicyVerdict ExpectedKeyVerdict(int32_t hive, const Text& a, bool write) {
  const Text n = NormaliseForPolicy(a);
  if (a.empty() || HasNul(a) || n.empty() || HasDotDotComponent(n)) return MalformedKey;
  // Within the registry's bounds: 255 units a name, 32,766 the whole text.
  if (n.size() > 32766) return MalformedKey;
  for (size_t start = 0, end = 0; start < n.size(); start = end + 1) {
    end = std::min(n.find(u'\\', start), n.size());
    if (end - start > 255) return MalformedKey;
  }
  if (hive == 0) return UnderRoot(n, u"software\\tarnvel") || UnderRoot(n, u"tarnvel") ? Allow : OutsideSubtree;
  if (hive != 1) return UnknownHive;
  if (write) return WriteToReadOnlyHive;
  return UnderRoot(n, u"software\\tarnvel") || UnderRoot(n, u"software\\wow6432node\\tarnvel") ? Allow : OutsideSubtree;
}

void CheckRegistry(const Text& a) {
  const Text n = NormaliseForPolicy(a);
  for (int32_t hive : {0, 1, 2, -1}) {
    for (bool write : {false, true}) {
      const PolicyVerdict v = CheckRegistryKey(hive, a, write);
      Check(v == ExpectedKeyVerdict(hive, a, write));
      // The registry acts on the canonical key: it must be judged exactly alike.
      Check(CheckRegistryKey(hive, CanonicalRegistryKey(a), write) == v);
      if (v != Allow) continue;
      Check(!HasNul(a) && !n.empty() && !HasDotDotComponent(n));
      Check(hive == 0 || (hive == 1 && !write));
      if (hive == 0) {
        Check(UnderRoot(n, u"software\\tarnvel") || UnderRoot(n, u"tarnvel"));
      } else {
        Check(UnderRoot(n, u"software\\tarnvel") || UnderRoot(n, u"software\\wow6432node\\tarnvel"));
      }
    }
  }
}

// What the classifier says holds whatever the spelling, and agrees with the tests it is built on.
void CheckClassifier(const Text& a) {
  const PathKinds kinds = ClassifyPath(a);
  Text slashed = a;
  for (char16_t& ch : slashed) ch = ch == u'\\' ? u'/' : ch == u'/' ? u'\\' : ch;
  Check(ClassifyPath(slashed) == kinds && ClassifyPath(AsciiLower(a)) == kinds);
  Check(((kinds & RelativePath) != 0) == !IsAbsolutePathForm(a));
  Check(((kinds & DotsOnlyComponent) != 0) == HasDotsOnlyComponent(NormaliseForPolicy(a)));
  if (HasDeviceNameComponent(a)) Check((kinds & DevicePath) != 0);
  if ((kinds & StreamPath) != 0) Check(a.find(u':') != Text::npos);
  if (a.find(u':') == Text::npos) Check((kinds & StreamPath) == 0);
  // A namespace prefix is seen whatever follows it.
  const auto sep = [](char16_t ch) { return ch == u'\\' || ch == u'/'; };
  const bool prefixed = a.size() >= 4 && sep(a[0]) && sep(a[1]) && (a[2] == u'.' || a[2] == u'?') && sep(a[3]);
  if (prefixed) Check((kinds & NamespacePrefix) != 0);
}

void CheckAppData(const Text& path, const Text& root, bool systemRoot) {
  if (CheckAppDataPath(path, root) != Allow) return;
  const Text n = NormaliseForPolicy(path);
  const Text folder = NormaliseForPolicy(root) + u"\\tarnvel";
  Check(!HasNul(path) && !HasDotsOnlyComponent(n) && !HasDeviceNameComponent(path));
  Check((ClassifyPath(path) & (DevicePath | PipePath | StreamPath | DotsOnlyComponent)) == 0);
  // Below a folder the system names, only an ordinary path is allowed.
  if (systemRoot) Check(ClassifyPath(path) == 0);
  Check(StartsWith(n, folder));
  // "<root>\tarnvel" itself, below it, or the same with 8 lower-case hex digits appended.
  const Text rest = n.substr(folder.size());
  bool hex8 = rest.size() >= 8 && (rest.size() == 8 || rest[8] == u'\\');
  for (size_t i = 0; hex8 && i < 8; ++i) {
    hex8 = (rest[i] >= u'0' && rest[i] <= u'9') || (rest[i] >= u'a' && rest[i] <= u'f');
  }
  Check(rest.empty() || rest[0] == u'\\' || hex8);
}

void CheckCopies(const Text& source, const Text& destination, const Text& temp, bool systemTemp) {
  const Text s = NormaliseForPolicy(source);
  const Text d = NormaliseForPolicy(destination);
  const Text t = NormaliseForPolicy(temp);
  if (CheckCopyIn(source, destination, temp) == Allow) {
    Check(IsAbsolutePathForm(source) && IsAbsolutePathForm(destination));
    // Never a device, an NT path or a pipe share as the source.
    const Text ls = AsciiLower(source);
    const auto sep = [](char16_t ch) { return ch == u'\\' || ch == u'/'; };
    Check(!(ls.size() >= 3 && sep(ls[0]) && sep(ls[1]) && (ls[2] == u'.' || ls[2] == u'?') &&
            (ls.size() == 3 || sep(ls[3]))));
    if (sep(ls[0]) && sep(ls[1])) {
      size_t k = 2;
      while (k < ls.size() && sep(ls[k])) ++k;
      while (k < ls.size() && !sep(ls[k])) ++k;
      while (k < ls.size() && sep(ls[k])) ++k;
      Check(!(ls.compare(k, 4, u"pipe") == 0 && (k + 4 == ls.size() || sep(ls[k + 4]))));
    }
    Check(!HasNul(source) && !HasNul(destination));
    Check(!HasDeviceNameComponent(source) && !HasDeviceNameComponent(destination));
    Check(!HasDotsOnlyComponent(s) && !HasDotsOnlyComponent(d));
    // No stream on either side: no ':' past a drive's own.
    Check(source.find(u':', 2) == Text::npos && destination.find(u':', 2) == Text::npos);
    Check(ClassifyPath(source) == 0 && (ClassifyPath(destination) & ~(NamespacePrefix | ShareRoot)) == 0);
    if (systemTemp) Check(ClassifyPath(destination) == 0);
    Check(!t.empty() && IsInsideFolder(d, t) && StartsWith(d, t + u"\\") && d.size() > t.size() + 1);
    const std::optional<Text> e = MatchCopyInExtension(s);
    Check(e.has_value() && MatchCopyInExtension(d) == e && EndsWith(d, *e) && EndsWith(s, *e));
  }
  if (CheckExport(source, destination, temp) == Allow) {
    Check(IsExportPathForm(source) && IsExportPathForm(destination));
    Check(source.find(u':', 2) == Text::npos && destination.find(u':', 2) == Text::npos);
    Check(!HasNul(source) && !HasNul(destination) && !IsPipeOrDevicePathForm(destination));
    Check(!HasDeviceNameComponent(source) && !HasDeviceNameComponent(destination));
    Check(!HasDotsOnlyComponent(s) && !HasDotsOnlyComponent(d));
    Check((ClassifyPath(source) & ~ShareRoot) == 0 && ClassifyPath(destination) == 0);
    if (systemTemp) Check(ClassifyPath(source) == 0);
    Check(!t.empty() && StartsWith(s, t + u"\\") && s.size() > t.size() + 1);
    const Text x = ExtensionOf(s);
    Check(x == u".jpg" || x == u".png" || x == u".bmp" || x == u".dib" || x == u".tif" || x == u".gif" || x == u".pdf");
    Check(ExtensionOf(d) == x);
  }
}

// Whatever stands before the first ':' without a separator is a scheme to the shell.
bool IsShellScheme(const Text& beforeColon) { return beforeColon.find_first_of(u"\\/") == Text::npos; }

bool IsInvisible(char16_t ch) {
  return ch < 0x20 || (ch >= 0x7F && ch <= 0xA0) || ch == 0x1680 || (ch >= 0x2000 && ch <= 0x200F) ||
         (ch >= 0x2028 && ch <= 0x202F) || (ch >= 0x205F && ch <= 0x206F) || ch == 0x3000 || ch == 0xFEFF;
}

// Controls and the space: the shell may drop them ahead of a path.
const Text kBlanks = [] {
  Text blanks;
  for (char16_t ch = 1; ch <= u' '; ++ch) blanks.push_back(ch);
  return blanks;
}();

// The shell-target rules, in their documented order.
PolicyVerdict ExpectedShellVerdict(const Text& target) {
  if (target.empty() || target.size() > MaxShellTargetLength || HasNul(target)) return MalformedKey;
  const Text l = AsciiLower(target);
  if (StartsWith(l, u"http://") || StartsWith(l, u"https://")) {
    return l.find(u'"') == Text::npos ? Allow : MalformedKey;
  }
  if (l.find(u'"') != Text::npos || l[0] == u'/' || l[0] == u'-') return MalformedKey;
  const size_t colon = l.find(u':');
  if (colon != Text::npos) {
    for (size_t k = 0; k < colon; ++k) {
      if (IsInvisible(l[k])) return OutsideSubtree;
    }
    if (colon >= 2 && IsShellScheme(l.substr(0, colon)) && l.compare(0, colon, u"ftp") != 0) return OutsideSubtree;
  }
  // A document is no pipe, mailslot or device, and takes no namespace prefix, blanks or not.
  const Text document = l.substr(std::min(l.find_first_not_of(kBlanks), l.size()));
  if ((ClassifyPath(document) & (NamespacePrefix | DevicePath | PipePath)) != 0) return MalformedKey;
  const size_t dot = l.rfind(u'.');
  if (dot == Text::npos) return OutsideSubtree;
  const Text x = l.substr(dot);
  return x == u".html" || x == u".htm" || x == u".txt" || x == u".csv" || x == u".pdf" || x == u".xml" ? Allow
                                                                                                       : OutsideSubtree;
}

void CheckShell(const Text& target) {
  Check(CheckShellTarget(target) == ExpectedShellVerdict(target));
  if (CheckShellTarget(target) != Allow) return;
  Check(!target.empty() && target.size() <= MaxShellTargetLength && !HasNul(target));
  const Text l = AsciiLower(target);
  // Nothing that could close the handler's quoted "%1".
  Check(l.find(u'"') == Text::npos);
  if (StartsWith(l, u"http://") || StartsWith(l, u"https://")) return;
  Check(l.find(u'"') == Text::npos && l[0] != u'/' && l[0] != u'-');
  // Nothing invisible (space-like, control, format) ahead of the first ':'.
  const size_t colon = l.find(u':');
  for (size_t k = 0; colon != Text::npos && k < colon; ++k) {
    const char16_t ch = l[k];
    Check(!(ch < 0x20 || (ch >= 0x7F && ch <= 0xA0) || ch == 0x1680 || (ch >= 0x2000 && ch <= 0x200F) ||
            (ch >= 0x2028 && ch <= 0x202F) || (ch >= 0x205F && ch <= 0x206F) || ch == 0x3000 || ch == 0xFEFF));
  }
  // Never a name of the device namespace, a pipe share or a device, judged here apart.
  const Text document = l.substr(std::min(l.find_first_not_of(kBlanks), l.size()));
  const auto sep = [](char16_t ch) { return ch == u'\\' || ch == u'/'; };
  Check(!(document.size() >= 3 && sep(document[0]) && sep(document[1]) &&
          (document[2] == u'.' || document[2] == u'?') && (document.size() == 3 || sep(document[3]))));
  Check(!HasDeviceNameComponent(document));
  const Text x = l.substr(l.rfind(u'.'));
  Check(x == u".html" || x == u".htm" || x == u".txt" || x == u".csv" || x == u".pdf" || x == u".xml");
  if (colon != Text::npos && colon >= 2 && IsShellScheme(l.substr(0, colon))) Check(l.compare(0, colon, u"ftp") == 0);
}

void CheckConversions(const uint8_t* data, size_t size, const Text& a, const std::vector<Text>& texts) {
  std::vector<uint8_t> bytes;
  Check(DecodeHex(EncodeHexLower(data, size), bytes));
  Check(bytes.size() == size && std::equal(bytes.begin(), bytes.end(), data));

  std::vector<uint8_t> decoded{0x5A};
  bool digits = a.size() % 2 == 0;
  for (char16_t c : a)
    digits = digits && ((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'));
  Check(DecodeHex(a, decoded) == digits);
  if (digits) {
    Check(EncodeHexLower(decoded.data(), decoded.size()) == AsciiLower(a));
  } else {
    Check(decoded.size() == 1 && decoded[0] == 0x5A);
  }
  // The same text as UTF-16LE bytes, cut where the input's bytes say: the same result.
  std::vector<uint8_t> le;
  for (char16_t c : a) {
    le.push_back(static_cast<uint8_t>(c));
    le.push_back(static_cast<uint8_t>(c >> 8));
  }
  HexStream stream(size > 0 ? data[0] : 0);
  for (size_t at = 0, k = 0; at < le.size(); ++k) {
    const size_t piece = std::min<size_t>(le.size() - at, size > 0 ? data[k % size] % 7 + 1 : le.size());
    stream.AppendUtf16Le(le.data() + at, piece);
    at += piece;
  }
  const DecodedHex streamed = stream.Finish();
  Check(streamed.wellFormed == digits && (!digits || streamed.bytes == decoded));

  const uint64_t u = ParseUnsigned64Decimal(a);
  Check(ParseUnsigned64Decimal(FormatUnsignedDecimal(u)) == u);
  const int64_t s = ParseSigned64Decimal(a);
  if (s != std::numeric_limits<int64_t>::min() && s != std::numeric_limits<int64_t>::max()) {
    Check(static_cast<uint64_t>(s) == u);
  }

  const Text joined = JoinNulTerminated(texts);
  size_t expected = 0;
  for (const Text& t : texts) expected += t.size() + 1;
  Check(joined.size() == expected && (joined.empty() || joined.back() == 0));
  bool wellFormed = false;
  const bool nulFree = std::none_of(texts.begin(), texts.end(), [](const Text& t) { return HasNul(t); });
  if (nulFree) Check(SplitNulTerminated(joined, &wellFormed) == texts && wellFormed);
  const std::vector<Text> parts = SplitNulTerminated(a, &wellFormed);
  Check(JoinNulTerminated(parts) == (wellFormed ? a : a + Text(1, u'\0')));

  // A strict decimal is exactly the digits its value formats to, leading zeros aside.
  uint64_t strict = 0;
  const bool digitsOnly =
      !a.empty() && std::all_of(a.begin(), a.end(), [](char16_t d) { return d >= u'0' && d <= u'9'; });
  if (ParseDecimalDigits(a, 4294967295u, strict)) {
    Check(digitsOnly && strict <= 4294967295u && strict == ParseUnsigned64Decimal(a));
  } else {
    Check(!digitsOnly || ParseUnsigned64Decimal(a) > 4294967295u);
  }
}

// Value names, write classification and verdict texts.
void CheckSmallRules(const uint8_t* data, size_t size, const Text& name) {
  const bool plain = name.find(u'\0') == Text::npos && name.find(u'\\') == Text::npos &&
                     name.find(u'/') == Text::npos && name.size() <= 16383;
  Check(IsValidValueName(name) == plain);
  int32_t code = 0;
  std::memcpy(&code, data, std::min(size, sizeof code));
  for (const int32_t op : {code, code & 0x1F}) {
    const bool write = op == 2 || op == 4 || op == 5 || op == 6 || op == 7 || op == 13 || op == 15 || op == 17;
    Check(IsWriteOp(op) == write);
    const std::string text = VerdictText(op);
    static const char* const kTexts[] = {"allow", "denied: unknown hive", "denied: outside Tarnvel subtree",
                                         "denied: malformed key", "denied: write to read-only hive"};
    Check(text == (op >= 0 && op <= 4 ? kTexts[op] : "denied"));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<Text> texts(1);
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0xFFFF && texts.size() < 4) {
      texts.emplace_back();
    } else {
      texts.back().push_back(c);
    }
  }
  texts.resize(4);
  const Text& a = texts[0];
  const Text& b = texts[1];
  const Text& c = texts[2];
  const Text roaming = u"C:\\Users\\u\\AppData\\Roaming";
  const Text temp = u"C:\\Users\\u\\AppData\\Local\\Temp";

  CheckNormalisation(a);
  CheckRegistry(a);
  CheckClassifier(a);
  CheckAppData(a, roaming, true);
  CheckAppData(a, b, false);
  CheckCopies(a, b, temp, true);
  CheckCopies(a, b, c, false);
  CheckShell(a);
  CheckConversions(data, size, a, texts);
  CheckSmallRules(data, size, b);
  return 0;
}
