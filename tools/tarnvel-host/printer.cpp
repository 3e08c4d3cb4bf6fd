// SPDX-License-Identifier: Apache-2.0
#include "tools/tarnvel-host/printer.h"

#include <cstdio>

namespace tarnvel::host {

namespace {

std::string ParamText(const ipc::Param& p) {
  char buf[64];
  switch (p.type) {
    case ipc::Int32Kind1:
    case ipc::Int32Kind2:
    case ipc::Int32Kind3:
    case ipc::Int32Kind4:
      snprintf(buf, sizeof buf, "i%d:%lld", static_cast<int>(p.type), static_cast<long long>(p.value));
      return buf;
    case ipc::Char8:
      snprintf(buf, sizeof buf, "c8:%lld", static_cast<long long>(p.value));
      return buf;
    case ipc::Char16:
      snprintf(buf, sizeof buf, "c16:%lld", static_cast<long long>(p.value));
      return buf;
    case ipc::PointerSized:
      snprintf(buf, sizeof buf, "ptr:%lld", static_cast<long long>(p.value));
      return buf;
    case ipc::NullString8:
      return "null8";
    case ipc::NullString16:
      return "null16";
    case ipc::NullByteArray:
      return "nullbytes";
    case ipc::CString16:
      return "cs:" + Quoted(p.string16);
    case ipc::String16:
      return "s:" + Quoted(p.string16);
    default: {
      Text latin(p.string8.begin(), p.string8.end());
      return (p.type == ipc::CString8 ? "cb:" : p.type == ipc::ByteArray ? "bytes:" : "b:") + Quoted(latin);
    }
  }
}

}  // namespace

std::string MessageText(int32_t id, const std::vector<ipc::Param>& params) {
  std::string s = "message " + std::to_string(id) + ":";
  for (const ipc::Param& p : params) s += " " + ParamText(p);
  return s;
}

void Out(const std::string& line) {
  std::string s = line + "\n";
  fwrite(s.data(), 1, s.size(), stdout);
  fflush(stdout);
}

}  // namespace tarnvel::host
