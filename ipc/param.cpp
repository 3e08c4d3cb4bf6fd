#include "ipc/param.h"

#include <utility>

Param Param::Int32(int32_t v, ParamType kind) {
  Param p;
  p.value = v;
  p.type = kind;
  return p;
}

Param Param::Char8Value(uint8_t v) {
  Param p;
  p.value = v;
  p.type = Char8;
  return p;
}

Param Param::Char16Value(char16_t v) {
  Param p;
  p.value = static_cast<uint16_t>(v);
  p.type = Char16;
  return p;
}

Param Param::Pointer(int64_t v) {
  Param p;
  p.value = v;
  p.type = PointerSized;
  return p;
}

Param Param::Null(ParamType kind) {
  Param p;
  p.value = -1;
  p.type = kind;
  return p;
}

Param Param::Bytes(std::string bytes, ParamType kind) {
  Param p;
  p.string8 = std::move(bytes);
  p.type = kind;
  return p;
}

Param Param::Text16(Text text, ParamType kind) {
  Param p;
  p.string16 = std::move(text);
  p.type = kind;
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
