// SPDX-License-Identifier: Apache-2.0
// What every operation reports, whatever it acts on: the Win32 error of the step that ended
// it (0: it did what was asked), which step that was, and a named outcome where the error
// alone does not say what the requester must hear. The dispatcher alone, through the op's
// row, turns it into a request status. Pure.
#pragma once
#include <cstdint>

namespace tarnvel {

// The step whose error an operation reports: opening (or creating) what it acts on, or the
// act on it. "Missing" means something else at each: a missing value is deleted, a missing
// key is not.
enum class OpStep : uint8_t { Open, Act };

enum class OpNamed : uint8_t {
  None,
  BadArgument,      // a text the op takes is not of its form: a value name, hex data, a check id
  NotAtJudgedPath,  // the file opened is not the one judged (a link, other names); nothing was done
  TooMany,          // the op holds as many as it may at once
};

struct [[nodiscard]] OpOutcome {
  int32_t error = 0;
  OpStep step = OpStep::Act;
  OpNamed named = OpNamed::None;
  bool ok() const { return error == 0 && named == OpNamed::None; }
};

inline OpOutcome NamedOutcome(OpNamed named) { return OpOutcome{0, OpStep::Act, named}; }

// The Win32 errors the pure side names; the _win.cpp files that report them check each value.
constexpr int32_t ErrorFileNotFound = 2;        // ERROR_FILE_NOT_FOUND: a missing file, key or value
constexpr int32_t ErrorAccessDenied = 5;        // ERROR_ACCESS_DENIED
constexpr int32_t ErrorNotEnoughMemory = 8;     // ERROR_NOT_ENOUGH_MEMORY
constexpr int32_t ErrorGenFailure = 31;         // ERROR_GEN_FAILURE: a failed act that left no error of its own
constexpr int32_t ErrorInvalidParameter = 87;   // ERROR_INVALID_PARAMETER
constexpr int32_t ErrorFileTooLarge = 223;      // ERROR_FILE_TOO_LARGE
constexpr int32_t ErrorNotFound = 1168;         // ERROR_NOT_FOUND: no such entry (a URL check id)
constexpr int32_t ErrorUnsupportedType = 1630;  // ERROR_UNSUPPORTED_TYPE: a value of another type

}  // namespace tarnvel
