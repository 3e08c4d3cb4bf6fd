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

constexpr View kPluginFolder = u"tarnvel";
constexpr size_t kPluginFolderSuffixDigits = 8;

bool IsLowerHexDigit(char16_t c) { return IsAsciiDigit(c) || (c >= u'a' && c <= u'f'); }

// Spaces, controls and format characters that are invisible or dropped by URL parsers.
bool IsInvisibleOrControl(char16_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0x1680 || (c >= 0x2000 && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) || c == 0x3000 || c == 0xFEFF;
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

// The text before the first ':' is a scheme to the shell when it has two or more units and
// no separator, whatever its characters: the shell runs "1x:", "+x:" or ".x:" as URLs, and
// folds some non-ASCII letters to ASCII ones (U+017F is 's'). One unit is a drive letter.
bool HasShellScheme(View l, size_t colon) {
  return colon != View::npos && colon >= 2 && l.substr(0, colon).find_first_of(u"\\/") == View::npos;
}

// Which kinds of path (requests/path_kind.h) each side of each op takes; any other kind is
// malformed, so that pipes, mailslots and devices reach no op. A side judged against a
// folder of the system's also takes the forms that can lie in no such folder (relative
// texts, namespace prefixes, share roots): its folder test refuses them as outside.
constexpr PathKinds kDataFileTakes = RelativePath | NamespacePrefix | ShareRoot;
constexpr PathKinds kCopyInSourceTakes = 0;
constexpr PathKinds kCopyInDestinationTakes = NamespacePrefix | ShareRoot;
constexpr PathKinds kExportSourceTakes = ShareRoot;
constexpr PathKinds kExportDestinationTakes = 0;
// A document may be named relative to the shell's folder, may climb, and may name a stream
// or a share: the shell opens documents anywhere the user could.
constexpr PathKinds kShellDocumentTakes = RelativePath | StreamPath | ShareRoot | DotsOnlyComponent;

bool RefusedKinds(const Text& path, PathKinds takes) { return (ClassifyPath(path) & ~takes) != 0; }

// A copy's three texts in the form its extension and folder tests compare.
struct CopyPaths {
  Text source, destination, temp;
};

// What both copies refuse before their own tests: a missing or NUL-holding text, a side of a
// kind its op does not take, a text that normalises to nothing. Allow: `out` holds all three.
PolicyVerdict CheckCopyPaths(const Text& source, const Text& destination, const Text& tempFolder, PathKinds sourceTakes,
                             PathKinds destinationTakes, CopyPaths& out) {
  if (source.empty() || destination.empty() || tempFolder.empty()) return MalformedKey;
  if (HasNul(source) || HasNul(destination)) return MalformedKey;
  if (RefusedKinds(source, sourceTakes) || RefusedKinds(destination, destinationTakes)) return MalformedKey;
  out.source = NormaliseForPolicy(source);
  out.destination = NormaliseForPolicy(destination);
  out.temp = NormaliseForPolicy(tempFolder);
  if (out.source.empty() || out.destination.empty() || out.temp.empty()) return MalformedKey;
  return Allow;
}

}  // namespace

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

bool IsExportPathForm(const Text& t) { return (ClassifyPath(t) & (RelativePath | NamespacePrefix | StreamPath)) == 0; }

bool IsPipeOrDevicePathForm(const Text& t) { return (ClassifyPath(t) & (NamespacePrefix | PipePath | ShareRoot)) != 0; }

bool IsInsideFolder(const Text& p, const Text& f) {
  return p.size() > f.size() + 1 && p.compare(0, f.size(), f) == 0 && p[f.size()] == u'\\';
}

PolicyVerdict CheckAppDataPath(const Text& path, const Text& dataRoot) {
  if (path.empty() || dataRoot.empty() || HasNul(path)) return MalformedKey;
  // "tarnvel\con" reads the console and "tarnvel\nul.txt" swallows a write.
  if (RefusedKinds(path, kDataFileTakes)) return MalformedKey;
  const Text n = NormaliseForPolicy(path);
  const Text f = NormaliseForPolicy(dataRoot);
  if (n.empty() || f.empty()) return MalformedKey;
  if (!IsInsideFolder(n, f)) return OutsideSubtree;

  const size_t start = f.size() + 1;
  const size_t end = n.find(u'\\', start);
  const View component = View(n).substr(start, end == Text::npos ? Text::npos : end - start);
  return IsPluginFolderName(component) ? Allow : OutsideSubtree;
}

bool IsDataFolderItself(const Text& path, const Text& dataRoot) {
  const Text target = NormaliseForPolicy(path);
  const Text root = NormaliseForPolicy(dataRoot);
  if (root.empty() || !IsInsideFolder(target, root)) return false;
  return target.find(u'\\', root.size() + 1) == Text::npos;
}

PolicyVerdict CheckCopyIn(const Text& source, const Text& destination, const Text& tempFolder) {
  CopyPaths n;
  const PolicyVerdict checked =
      CheckCopyPaths(source, destination, tempFolder, kCopyInSourceTakes, kCopyInDestinationTakes, n);
  if (checked != Allow) return checked;
  const std::optional<Text> kind = MatchCopyInExtension(n.source);
  if (!kind) return OutsideSubtree;
  if (MatchCopyInExtension(n.destination) != kind) return OutsideSubtree;
  return IsInsideFolder(n.destination, n.temp) ? Allow : OutsideSubtree;
}

bool IsCopyInSourceAsJudged(const Text& reached, const Text& judgedSource) {
  if (reached.empty() || HasNul(reached) || ClassifyPath(reached) != 0) return false;
  const std::optional<Text> kind = MatchCopyInExtension(NormaliseForPolicy(reached));
  return kind.has_value() && kind == MatchCopyInExtension(NormaliseForPolicy(judgedSource));
}

PolicyVerdict CheckExport(const Text& source, const Text& destination, const Text& tempFolder) {
  CopyPaths n;
  const PolicyVerdict checked =
      CheckCopyPaths(source, destination, tempFolder, kExportSourceTakes, kExportDestinationTakes, n);
  if (checked != Allow) return checked;
  const Text x = ExtensionOf(n.source);
  if (!InTable(x, kExportExtensions)) return OutsideSubtree;
  if (ExtensionOf(n.destination) != x) return OutsideSubtree;
  return IsInsideFolder(n.source, n.temp) ? Allow : OutsideSubtree;
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
  // The shell and the document's handler would open a pipe, a mailslot or a device as they
  // would a file; blanks the shell may drop first hide none of them.
  size_t start = 0;
  while (start < l.size() && l[start] <= u' ') ++start;
  if (RefusedKinds(l.substr(start), kShellDocumentTakes)) return MalformedKey;
  const size_t dot = l.rfind(u'.');
  if (dot == Text::npos) return OutsideSubtree;
  return InTable(View(l).substr(dot), kShellDocumentExtensions) ? Allow : OutsideSubtree;
}

Text ShellSchemeOf(const Text& target) {
  const Text l = AsciiLower(target);
  const size_t colon = l.find(u':');
  return HasShellScheme(l, colon) ? l.substr(0, colon) : Text();
}

Text ShellDocumentTypeOf(const Text& target) {
  const Text l = AsciiLower(target);
  const size_t dot = l.rfind(u'.');
  return dot == Text::npos ? Text() : l.substr(dot + 1);
}

}  // namespace tarnvel::requests
