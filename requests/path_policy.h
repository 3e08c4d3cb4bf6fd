// SPDX-License-Identifier: Apache-2.0
// The path policy: pure judgments of file paths and shell targets. The folders they judge
// against come from the system (requests/folders_win.h) through the dispatcher.
// The checks judge normalised copies; callers act on the texts as carried.
#pragma once
#include <cstddef>
#include <optional>
#include "base/text.h"
#include "policy/normalise.h"
#include "policy/verdict.h"
#include "requests/policy_vocabulary.h"

namespace tarnvel::requests {

bool IsAbsolutePathForm(const Text& t);
bool IsExportPathForm(const Text& t);
// "\\.\...", "\\?\..." (either slash), "\\host\pipe\..." or "\\host\mailslot\...": names
// that reach devices, pipes and mailslots; and "\\host\share" alone, a share's root.
// Judged on the form Windows uses: "\\host\pipe.\x" is a pipe too.
bool IsPipeOrDevicePathForm(const Text& t);
// A component names a DOS device (CON, PRN, AUX, NUL, COM0-9, LPT0-9, ...), any case, any
// extension, trailing dots and spaces dropped as Windows drops them.
bool HasDeviceNameComponent(const Text& t);
// A component made of dots and spaces only ("..", "...", ".. ", " "): Windows drops trailing
// dots and spaces, so such a component may climb out ("..." is ".." there) or vanish.
bool HasDotsOnlyComponent(const Text& normalised);
Text ExtensionOf(const Text& t);
// The matching entry of the copy-in extension table (a static string), or none.
std::optional<Text> MatchCopyInExtension(const Text& normalised);
// Normalised p lies strictly below normalised folder f.
bool IsInsideFolder(const Text& p, const Text& f);

[[nodiscard]] PolicyVerdict CheckAppDataPath(const Text& path, const Text& dataRoot);
// The path names a first-level folder of the roaming folder (R\tarnvel itself): a write
// there would put its temporary file (R\tarnvel.tmp) where no request was allowed to reach.
[[nodiscard]] bool IsDataFolderItself(const Text& path, const Text& dataRoot);
[[nodiscard]] PolicyVerdict CheckCopyIn(const Text& source, const Text& destination, const Text& tempFolder);
[[nodiscard]] PolicyVerdict CheckExport(const Text& source, const Text& destination, const Text& tempFolder);
// Longest shell target, checked before any shell call: Wine's shell writes past its own
// stack buffers from about 997 characters on and ends the process. Document paths (260)
// and nearly all URLs fit, though Windows itself takes URLs of up to 2083 characters.
constexpr size_t MaxShellTargetLength = 900;
[[nodiscard]] PolicyVerdict CheckShellTarget(const Text& target);

}  // namespace tarnvel::requests
