// SPDX-License-Identifier: Apache-2.0
// The reply texts of the host library's typed calls, read strictly: a reply the broker sends in a
// form other than the protocol's is reported (CallError::BadReplyText), never guessed at.
// The conversions themselves are base/'s; these say which form each reply must have.
// Pure: builds natively and runs under the sanitizers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnvel::host::detail {

// Unsigned decimal, 1 to 20 digits, nothing else, within the type's range.
bool ParseUnsigned32(const std::u16string& text, uint32_t& out);
bool ParseUnsigned64(const std::u16string& text, uint64_t& out);
std::u16string DecimalText(uint64_t value);

// Bytes as lower-case hexadecimal, and back (either case; an odd length or another
// character is refused).
std::u16string HexText(const uint8_t* bytes, size_t count);
inline std::u16string HexText(const std::vector<uint8_t>& bytes) { return HexText(bytes.data(), bytes.size()); }
bool DecodeHexText(const std::u16string& text, std::vector<uint8_t>& out);

// "pending", "http <status code>" or "error <Windows error>".
enum class PollKind { Pending, HttpStatus, Error };
bool ParseUrlPoll(const std::u16string& text, PollKind& kind, uint32_t& number);

// The elements of a list reply: each ends in one U+0000. False when the last lacks it.
bool SplitList(const std::u16string& text, std::vector<std::u16string>& out);

}  // namespace tarnvel::host::detail
