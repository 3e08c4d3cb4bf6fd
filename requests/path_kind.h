// SPDX-License-Identifier: Apache-2.0
// The one classifier of the paths the broker hands to the system: what a text names once
// Windows has converted it, whatever its spelling. Every path policy asks it and then only
// says which kinds its op takes (requests/path_policy.cpp). Pure.
#pragma once
#include <cstdint>
#include "base/text.h"

namespace tarnvel::requests {

// What a path is, beyond an ordinary file path on a drive or a share ("C:\x\a.pdf",
// "\\host\share\a.pdf"), which has none of these. A path may be several at once.
enum PathKind : uint32_t {
  // Not "X:\..." nor "\\...": relative to a current folder or drive ("a.pdf", "C:a.pdf", "\a").
  RelativePath = 1u << 0,
  // "\\?\" or "\\.\" (either slash): past the Win32 conversion, or through its device root;
  // also "\??\", an NT path the conversion passes through as it is.
  NamespacePrefix = 1u << 1,
  // A DOS device in any component with any extension ("nul.pdf", "COM1 .png"), or a name of
  // the device namespace that is no drive, share or pipe ("\\.\PhysicalDrive0", GLOBALROOT).
  DevicePath = 1u << 2,
  // A named pipe or a mailslot, local or remote, in any spelling Windows accepts.
  PipePath = 1u << 3,
  // A ':' beyond the drive's own: a stream of another file ("evil.exe:.pdf").
  StreamPath = 1u << 4,
  // "\\host" or "\\host\share" with nothing below: no file.
  ShareRoot = 1u << 5,
  // A component of dots and spaces only ("..", "...", ". "): Windows may climb with it.
  DotsOnlyComponent = 1u << 6,
};
using PathKinds = uint32_t;

// Every kind `path` is (0: an ordinary file path). A NUL is the caller's to refuse first.
[[nodiscard]] PathKinds ClassifyPath(const Text& path);

bool IsAbsolutePathForm(const Text& t);
// A component names a DOS device (CON, PRN, AUX, NUL, COM0-9, LPT0-9, ...), any case, any
// extension, trailing dots and spaces dropped as Windows drops them.
bool HasDeviceNameComponent(const Text& t);
// A component made of dots and spaces only ("..", "...", ".. ", " "): Windows drops trailing
// dots and spaces, so such a component may climb out ("..." is ".." there) or vanish.
bool HasDotsOnlyComponent(const Text& normalised);

}  // namespace tarnvel::requests
