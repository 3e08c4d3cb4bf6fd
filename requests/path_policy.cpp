// SPDX-License-Identifier: Apache-2.0
#include "requests/path_policy.h"

#include <string_view>
#include "base/ascii.h"

namespace tarnvel::requests {

namespace {

using View = std::u16string_view;

// Views of literals: nothing to construct or destroy at process start or exit.
constexpr View kShellDocumentExtensions[] = {u".html", u".htm", u".txt", u".csv", u".pdf", u".xml"};
constexpr View kCopyInExtensions[] = {u".pdf", u".jpg", u".jpeg", u".jpe", u".png",
                                      u".gif", u".bmp", u".dib",  u".tif", u".tiff"};
constexpr View kExportExtensions[] = {u".jpg", u".png", u".bmp", u".dib", u".tif", u".gif", u".pdf"};

// Names Windows opens as devices in any folder and with any extension ("nul.pdf").
constexpr View kDeviceNames[] = {u"con", u"prn", u"aux", u"nul", u"conin$", u"conout$", u"clock$"};

constexpr View kPluginFolder = u"tarnvel";
constexpr size_t kPluginFolderSuffixDigits = 8;

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsLowerHexDigit(char16_t c) { return IsAsciiDigit(c) || (c >= u'a' && c <= u'f'); }

// Spaces, controls and format characters that are invisible or dropped by URL parsers.
bool IsInvisibleOrControl(char16_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0x1680 || (c >= 0x2000 && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) || c == 0x3000 || c == 0xFEFF;
}

template <size_t N>
bool InTable(View x, const View (&table)[N]) {
  for (View e : table) {
    if (x == e) return true;
  }
  return false;
}

// "tarnvel" or "tarnvel" followed by 8 lower-case hex digits (the text is already folded).
bool IsPluginFolderName(View k) {
  if (k == kPluginFolder) return true;
  if (k.size() != kPluginFolder.size() + kPluginFolderSuffixDigits) return false;
  if (!StartsWith(k, kPluginFolder)) return false;
  for (size_t i = kPluginFolder.size(); i < k.size(); ++i) {
    if (!IsLowerHexDigit(k[i])) return false;
  }
  return true;
}

// A path component as Windows uses it: trailing dots and spaces are dropped ("pipe." and
// "nul. " name "pipe" and "nul").
View WindowsComponent(View c) {
  while (!c.empty() && (c.back() == u'.' || c.back() == u' ')) c.remove_suffix(1);
  return c;
}

// "com1".."com9", "lpt1".."lpt9" (also 0 and the superscript digits), and the fixed names.
bool IsDeviceBaseName(View lowered) {
  if (InTable(lowered, kDeviceNames)) return true;
  if (lowered.size() != 4 || !(StartsWith(lowered, u"com") || StartsWith(lowered, u"lpt"))) return false;
  const char16_t n = lowered[3];
  return IsAsciiDigit(n) || n == 0x00B9 || n == 0x00B2 || n == 0x00B3;
}

// The text before the first ':' is a scheme to the shell when it has two or more units and
// no separator, whatever its characters: the shell runs "1x:", "+x:" or ".x:" as URLs, and
// folds some non-ASCII letters to ASCII ones (U+017F is 's'). One unit is a drive letter.
bool HasShellScheme(View l, size_t colon) {
  return colon != View::npos && colon >= 2 && l.substr(0, colon).find_first_of(u"\\/") == View::npos;
}

}  // namespace

bool HasDotsOnlyComponent(const Text& normalised) {
  size_t start = 0;
  while (start < normalised.size()) {
    size_t end = normalised.find(u'\\', start);
    if (end == Text::npos) end = normalised.size();
    const View component = View(normalised).substr(start, end - start);
    if (!component.empty() && component.find_first_not_of(u". ") == View::npos) return true;
    start = end + 1;
  }
  return false;
}

bool IsAbsolutePathForm(const Text& t) {
  if (t.size() < 3) return false;
  if (t[1] == u':' && IsPathSeparator(t[2])) return IsAsciiLetter(t[0]);
  return IsPathSeparator(t[0]) && IsPathSeparator(t[1]);
}

bool IsExportPathForm(const Text& t) {
  if (!IsAbsolutePathForm(t)) return false;
  // Device and long-path prefixes ("\\?\", "\\.\", either slash) reach past Win32 parsing.
  if (t.size() > 3 && IsPathSeparator(t[0]) && (t[2] == u'?' || t[2] == u'.') && IsPathSeparator(t[3])) {
    return false;
  }
  // Alternate data streams and stray colons.
  return t.find(u':', 2) == Text::npos;
}

Text ExtensionOf(const Text& t) {
  const size_t dot = t.rfind(u'.');
  if (dot == Text::npos) return Text();
  const size_t slash = t.rfind(u'\\');
  if (slash != Text::npos && dot < slash) return Text();
  return t.substr(dot);
}

std::optional<Text> MatchCopyInExtension(const Text& normalised) {
  const View n(normalised);
  for (View e : kCopyInExtensions) {
    if (e.size() < n.size() && n.substr(n.size() - e.size()) == e) return Text(e);
  }
  return std::nullopt;
}

bool IsInsideFolder(const Text& p, const Text& f) {
  return p.size() > f.size() + 1 && p.compare(0, f.size(), f) == 0 && p[f.size()] == u'\\';
}

PolicyVerdict CheckAppDataPath(const Text& path, const Text& dataRoot) {
  if (path.empty() || dataRoot.empty() || HasNul(path)) return MalformedKey;
  // "tarnvel\con" reads the console and "tarnvel\nul.txt" swallows a write.
  if (HasDeviceNameComponent(path)) return MalformedKey;
  const Text n = NormaliseForPolicy(path);
  const Text f = NormaliseForPolicy(dataRoot);
  if (n.empty() || f.empty()) return MalformedKey;
  if (HasDotsOnlyComponent(n)) return MalformedKey;
  if (!IsInsideFolder(n, f)) return OutsideSubtree;

  const size_t start = f.size() + 1;
  const size_t end = n.find(u'\\', start);
  const View component = View(n).substr(start, end == Text::npos ? Text::npos : end - start);
  return IsPluginFolderName(component) ? Allow : OutsideSubtree;
}

bool IsPipeOrDevicePathForm(const Text& t) {
  if (t.size() < 3 || !IsPathSeparator(t[0]) || !IsPathSeparator(t[1])) return false;
  // "\\.\" and "\\?\" (either slash) name devices, pipes and NT objects directly.
  if ((t[2] == u'.' || t[2] == u'?') && (t.size() == 3 || IsPathSeparator(t[3]))) return true;
  // "\\host\pipe\...": a named pipe on a server, the local one included.
  size_t i = 2;
  while (i < t.size() && IsPathSeparator(t[i])) ++i;
  while (i < t.size() && !IsPathSeparator(t[i])) ++i;
  while (i < t.size() && IsPathSeparator(t[i])) ++i;
  size_t end = i;
  while (end < t.size() && !IsPathSeparator(t[end])) ++end;
  // A share's root is no file, and a colon in the share's name is no name ("pipe.:x").
  size_t next = end;
  while (next < t.size() && IsPathSeparator(t[next])) ++next;
  if (next >= t.size()) return true;
  View share = View(t).substr(i, end - i);
  share = share.substr(0, share.find(u':'));
  // "pipe." and "pipe " are the pipe share too; the mailslot share is a device as well.
  const Text name = AsciiLower(Text(WindowsComponent(share)));
  return name == u"pipe" || name == u"mailslot";
}

bool HasDeviceNameComponent(const Text& t) {
  const Text l = AsciiLower(t);
  size_t start = 0;
  while (start <= l.size()) {
    size_t end = start;
    while (end < l.size() && !IsPathSeparator(l[end])) ++end;
    // "nul", "NUL.pdf", "nul .x.pdf", "nul:" and "nul. " all open the device.
    const View component = WindowsComponent(View(l).substr(start, end - start));
    View base = component.substr(0, component.find_first_of(u".:"));
    while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
    if (IsDeviceBaseName(base)) return true;
    start = end + 1;
  }
  return false;
}

bool IsDataFolderItself(const Text& path, const Text& dataRoot) {
  const Text target = NormaliseForPolicy(path);
  const Text root = NormaliseForPolicy(dataRoot);
  if (root.empty() || !IsInsideFolder(target, root)) return false;
  return target.find(u'\\', root.size() + 1) == Text::npos;
}

PolicyVerdict CheckCopyIn(const Text& source, const Text& destination, const Text& tempFolder) {
  if (source.empty() || destination.empty() || tempFolder.empty()) return MalformedKey;
  if (HasNul(source) || HasNul(destination)) return MalformedKey;
  if (!IsAbsolutePathForm(source) || !IsAbsolutePathForm(destination)) return MalformedKey;
  // Opening such a source would connect to a pipe that anyone (a plug-in) may serve.
  if (IsPipeOrDevicePathForm(source)) return MalformedKey;
  // A device reads or swallows bytes where a file was judged ("NUL.pdf": nothing written).
  if (HasDeviceNameComponent(source) || HasDeviceNameComponent(destination)) return MalformedKey;
  const Text s = NormaliseForPolicy(source);
  const Text d = NormaliseForPolicy(destination);
  const Text t = NormaliseForPolicy(tempFolder);
  if (s.empty() || d.empty() || t.empty()) return MalformedKey;
  if (HasDotsOnlyComponent(s) || HasDotsOnlyComponent(d)) return MalformedKey;

  const std::optional<Text> kind = MatchCopyInExtension(s);
  if (!kind) return OutsideSubtree;
  if (MatchCopyInExtension(d) != kind) return OutsideSubtree;
  return IsInsideFolder(d, t) ? Allow : OutsideSubtree;
}

PolicyVerdict CheckExport(const Text& source, const Text& destination, const Text& tempFolder) {
  if (source.empty() || destination.empty() || tempFolder.empty()) return MalformedKey;
  if (HasNul(source) || HasNul(destination)) return MalformedKey;
  if (!IsExportPathForm(source) || !IsExportPathForm(destination)) return MalformedKey;
  // Writing to a pipe blocks on whoever serves it; a device swallows the copy.
  if (IsPipeOrDevicePathForm(destination)) return MalformedKey;
  if (HasDeviceNameComponent(source) || HasDeviceNameComponent(destination)) return MalformedKey;
  const Text s = NormaliseForPolicy(source);
  const Text d = NormaliseForPolicy(destination);
  const Text t = NormaliseForPolicy(tempFolder);
  if (s.empty() || d.empty() || t.empty()) return MalformedKey;
  if (HasDotsOnlyComponent(s) || HasDotsOnlyComponent(d)) return MalformedKey;

  const Text x = ExtensionOf(s);
  if (!InTable(x, kExportExtensions)) return OutsideSubtree;
  if (ExtensionOf(d) != x) return OutsideSubtree;
  return IsInsideFolder(s, t) ? Allow : OutsideSubtree;
}

PolicyVerdict CheckShellTarget(const Text& target) {
  if (target.empty() || target.size() > MaxShellTargetLength || HasNul(target)) return MalformedKey;
  const Text l = AsciiLower(target);
  if (StartsWith(l, u"http://") || StartsWith(l, u"https://")) {
    // The handler's command line quotes the URL ("%1"): a '"' would end that quote and hand
    // the rest of the text to the browser as arguments of its own.
    return l.find(u'"') == Text::npos ? Allow : MalformedKey;
  }
  if (l.find(u'"') != Text::npos) return MalformedKey;
  if (l[0] == u'/' || l[0] == u'-') return MalformedKey;
  // Any other scheme would hand the text to whatever protocol handler is registered for
  // it, whatever extension it ends in; only ftp is let through to the document test.
  // Any invisible character before the first ':' may hide a scheme from us but not from
  // the shell ("\u00A0someapp:...").
  const size_t colon = l.find(u':');
  const View beforeColon = colon == Text::npos ? View() : View(l).substr(0, colon);
  for (const char16_t c : beforeColon) {
    if (IsInvisibleOrControl(c)) return OutsideSubtree;
  }
  if (HasShellScheme(l, colon) && beforeColon != u"ftp") return OutsideSubtree;
  const size_t dot = l.rfind(u'.');
  if (dot == Text::npos) return OutsideSubtree;
  return InTable(View(l).substr(dot), kShellDocumentExtensions) ? Allow : OutsideSubtree;
}

}  // namespace tarnvel::requests
