// SPDX-License-Identifier: Apache-2.0
#include "ipc/param.h"

#include <utility>

namespace tarnvel::ipc {

namespace {
Param Make(ParamType type, int64_t value) {
  Param p;
  p.value = value;
  p.type = type;
  return p;
}
}  // namespace

Param Param::Int32(int32_t v, ParamType kind) { return Make(kind, v); }
Param Param::Char8Value(uint8_t v) { return Make(Char8, v); }
Param Param::Char16Value(char16_t v) { return Make(Char16, static_cast<uint16_t>(v)); }
Param Param::Pointer(int64_t v) { return Make(PointerSized, v); }
Param Param::Null(ParamType kind) { return Make(kind, -1); }

Param Param::Bytes(std::string bytes, ParamType kind) {
  Param p = Make(kind, 0);
  p.string8 = std::move(bytes);
  return p;
}

Param Param::Text16(Text text, ParamType kind) {
  Param p = Make(kind, 0);
  p.string16 = std::move(text);
  return p;
}

bool ParamList::Add(Param&& p) {
  if (count >= MaxParams + 1) return false;
  params[count++] = std::move(p);
  return true;
}

void ParamList::Clear() {
  for (uint32_t i = 0; i < count; ++i) params[i] = Param();
  count = 0;
}

}  // namespace tarnvel::ipc
