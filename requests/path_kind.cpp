// SPDX-License-Identifier: Apache-2.0
#include "requests/path_kind.h"

#include <string_view>
#include "base/ascii.h"
#include "policy/normalise.h"

namespace tarnvel::requests {

namespace {

using View = std::u16string_view;

// Names Windows opens as devices in any folder and with any extension ("nul.pdf").
constexpr View kDeviceNames[] = {u"con", u"prn", u"aux", u"nul", u"conin$", u"conout$", u"clock$"};
// Shares that reach pipes or mailslots: "ipc$" is where a server's pipes are served.
constexpr View kPipeShares[] = {u"pipe", u"mailslot", u"ipc$"};
// Below "\\?\GLOBALROOT": the pipe and mailslot file systems, and the pipe share of any server.
constexpr View kGlobalRootPipeNames[] = {u"namedpipe", u"mailslot", u"pipe", u"ipc$"};

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

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

// The component of `t` that starts after any separators from `at`; `at` moves past it.
View NextComponent(View t, size_t& at) {
  while (at < t.size() && IsPathSeparator(t[at])) ++at;
  const size_t start = at;
  while (at < t.size() && !IsPathSeparator(t[at])) ++at;
  return t.substr(start, at - start);
}

bool OnlySeparatorsFrom(View t, size_t at) {
  while (at < t.size() && IsPathSeparator(t[at])) ++at;
  return at >= t.size();
}

// A share name as Windows uses it: a colon ends it ("pipe:x"), trailing dots and spaces go.
bool IsPipeShare(View share) { return InTable(WindowsComponent(share.substr(0, share.find(u':'))), kPipeShares); }

// "host\share\..." from `at` (the text lowered): a pipe share, or a share's root.
PathKinds ClassifyShare(View l, size_t at) {
  NextComponent(l, at);
  const View share = NextComponent(l, at);
  PathKinds kinds = 0;
  if (IsPipeShare(share)) kinds |= PipePath;
  if (OnlySeparatorsFrom(l, at)) kinds |= ShareRoot;
  return kinds;
}

// What follows "\\?\", "\\.\" or "\??\" (the text lowered, `at` just past the prefix); `driveColon`
// is set where a drive's own colon stands.
PathKinds ClassifyNamespace(View l, size_t at, size_t& driveColon) {
  const View first = NextComponent(l, at);
  const View name = WindowsComponent(first);
  if (name.size() == 2 && IsAsciiLetter(name[0]) && name[1] == u':') {
    driveColon = at - first.size() + 1;
    return 0;
  }
  if (name == u"unc") return ClassifyShare(l, at);
  if (name == u"pipe" || name == u"mailslot") return PipePath;
  if (name != u"globalroot") return DevicePath;
  // Anything of the object namespace; a pipe when it names the pipe or mailslot file system.
  PathKinds kinds = DevicePath;
  while (at < l.size()) {
    if (InTable(WindowsComponent(NextComponent(l, at)), kGlobalRootPipeNames)) kinds |= PipePath;
  }
  return kinds;
}

}  // namespace

bool IsAbsolutePathForm(const Text& t) {
  if (t.size() < 3) return false;
  if (t[1] == u':' && IsPathSeparator(t[2])) return IsAsciiLetter(t[0]);
  return IsPathSeparator(t[0]) && IsPathSeparator(t[1]);
}

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

PathKinds ClassifyPath(const Text& path) {
  const Text lowered = AsciiLower(path);
  const View l(lowered);
  PathKinds kinds = 0;
  size_t driveColon = View::npos;
  if (l.size() >= 4 && IsPathSeparator(l[0]) && l[1] == u'?' && l[2] == u'?' && IsPathSeparator(l[3])) {
    // "\??\...": the system's conversion passes an NT path through as it is.
    kinds |= RelativePath | NamespacePrefix | ClassifyNamespace(l, 4, driveColon);
  } else if (!IsAbsolutePathForm(path)) {
    kinds |= RelativePath;
    if (l.size() >= 2 && IsAsciiLetter(l[0]) && l[1] == u':') driveColon = 1;
  } else if (!IsPathSeparator(l[0])) {
    driveColon = 1;
  } else if ((l[2] == u'.' || l[2] == u'?') && (l.size() == 3 || IsPathSeparator(l[3]))) {
    kinds |= NamespacePrefix | ClassifyNamespace(l, 3, driveColon);
  } else {
    kinds |= ClassifyShare(l, 2);
  }
  for (size_t i = 0; i < l.size(); ++i) {
    if (l[i] == u':' && i != driveColon) kinds |= StreamPath;
  }
  if (HasDeviceNameComponent(path)) kinds |= DevicePath;
  if (HasDotsOnlyComponent(policy::NormaliseForPolicy(path))) kinds |= DotsOnlyComponent;
  return kinds;
}

}  // namespace tarnvel::requests
