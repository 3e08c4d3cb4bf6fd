// SPDX-License-Identifier: Apache-2.0
#include "audit/record.h"

#include <string>
#include "base/protocol.h"

namespace tarnvel::audit {

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool NeedsEscape(char16_t c) {
  return c < 0x20 || c == u'%' || c == u'>' || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void AppendHex(Text& out, uint32_t value, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out.push_back(static_cast<char16_t>(kDigits[(value >> shift) & 0xF]));
}

Text Escape(char16_t c) {
  Text out = u"%";
  if (c <= 0xFF) {
    AppendHex(out, c, 2);
  } else {
    out.push_back(u'u');
    AppendHex(out, c, 4);
  }
  return out;
}

Text DecimalText(uint64_t value) { return AsciiText(std::to_string(value).c_str()); }

}  // namespace

Text EscapeForRecord(const Text& text, size_t maxUnits) {
  Text out;
  size_t i = 0;
  while (i < text.size()) {
    const char16_t c = text[i];
    Text piece;
    size_t taken = 1;
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      piece = text.substr(i, 2);
      taken = 2;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c) || NeedsEscape(c)) {
      piece = Escape(c);
    } else {
      piece = Text(1, c);
    }
    if (out.size() + piece.size() > maxUnits) break;
    out += piece;
    i += taken;
  }
  if (i < text.size()) out += u"%[cut: " + DecimalText(text.size()) + u" units]";
  return out;
}

Text RecordTarget(const Text& first) { return EscapeForRecord(first); }

Text RecordTarget(const Text& first, const Text& second) {
  return EscapeForRecord(first) + u" > " + EscapeForRecord(second);
}

Text RecordOp(int32_t opCode) {
  const tarnvel::protocol::OpInfo* info = tarnvel::protocol::FindOp(opCode);
  if (info != nullptr) return AsciiText(info->word);
  return AsciiText(("op " + std::to_string(opCode)).c_str());
}

AuditRecord PolicyRecord(const policy::PolicyRefusal& refusal, EventKind kind, const Text& op, const Text& target) {
  AuditRecord record;
  record.id = EventOfPolicy(refusal.policy, kind);
  record.op = op;
  record.rule = AsciiText(refusal.line);
  record.target = RecordTarget(target);
  return record;
}

std::array<Text, 4> RecordStrings(const AuditRecord& record, uint32_t hostProcessId) {
  return {EscapeForRecord(record.op), EscapeForRecord(record.rule), record.target, DecimalText(hostProcessId)};
}

}  // namespace tarnvel::audit
