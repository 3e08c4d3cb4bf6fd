// SPDX-License-Identifier: Apache-2.0
#include "tools/tarnvel-host/printer.h"

#include <cstdio>

namespace tarnvel::host {

namespace {

std::string ParamText(const Param& p) {
  char buf[64];
  switch (p.type) {
    case Int32Kind1:
    case Int32Kind2:
    case Int32Kind3:
    case Int32Kind4:
      snprintf(buf, sizeof buf, "i%d:%lld", static_cast<int>(p.type), static_cast<long long>(p.value));
      return buf;
    case Char8:
      snprintf(buf, sizeof buf, "c8:%lld", static_cast<long long>(p.value));
      return buf;
    case Char16:
      snprintf(buf, sizeof buf, "c16:%lld", static_cast<long long>(p.value));
      return buf;
    case PointerSized:
      snprintf(buf, sizeof buf, "ptr:%lld", static_cast<long long>(p.value));
      return buf;
    case NullString8:
      return "null8";
    case NullString16:
      return "null16";
    case NullByteArray:
      return "nullbytes";
    case CString16:
      return "cs:" + Quoted(p.string16);
    case String16:
      return "s:" + Quoted(p.string16);
    default: {
      Text latin(p.string8.begin(), p.string8.end());
      return (p.type == CString8 ? "cb:" : p.type == ByteArray ? "bytes:" : "b:") + Quoted(latin);
    }
  }
}

}  // namespace

std::string MessageText(int32_t id, const std::vector<Param>& params) {
  std::string s = "message " + std::to_string(id) + ":";
  for (const Param& p : params) s += " " + ParamText(p);
  return s;
}

void Out(const std::string& line) {
  std::string s = line + "\n";
  fwrite(s.data(), 1, s.size(), stdout);
  fflush(stdout);
}

}  // namespace tarnvel::host
