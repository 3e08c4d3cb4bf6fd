// SPDX-License-Identifier: Apache-2.0
// The path policy: pure judgments of file paths and shell targets. The folders they judge
// against come from the system (requests/folders_win.h) through the dispatcher. Every path
// is classified first (requests/path_kind.h); each check then says which kinds its op takes.
// The checks judge normalised copies; callers act on the texts as carried.
#pragma once
#include <cstddef>
#include <optional>
#include "base/text.h"
#include "policy/normalise.h"
#include "policy/verdict.h"
#include "requests/path_kind.h"
#include "requests/policy_vocabulary.h"

namespace tarnvel::requests {

// Absolute, with no namespace prefix and no stream: a path an export may name.
bool IsExportPathForm(const Text& t);
// A namespace prefix ("\\.\", "\\?\"), a pipe or mailslot, or a share's root.
bool IsPipeOrDevicePathForm(const Text& t);
Text ExtensionOf(const Text& t);
// The matching entry of the copy-in extension table (a static string), or none.
std::optional<Text> MatchCopyInExtension(const Text& normalised);
// Normalised p lies strictly below normalised folder f.
bool IsInsideFolder(const Text& p, const Text& f);

[[nodiscard]] PolicyVerdict CheckAppDataPath(const Text& path, const Text& dataRoot);
// The path names a first-level folder of the roaming folder (R\tarnvel itself): a write
// there would put its fresh file (R\~tarnvel-....tmp) where no request was allowed to reach.
[[nodiscard]] bool IsDataFolderItself(const Text& path, const Text& dataRoot);
[[nodiscard]] PolicyVerdict CheckCopyIn(const Text& source, const Text& destination, const Text& tempFolder);
// The copy-in source as the system opened it (`reached`: its final path, 8.3 aliases and links
// resolved) is an ordinary path whose long name has the extension kind the source was
// judged on: "SECRET~1.PDF" may name "secret.pdfx".
[[nodiscard]] bool IsCopyInSourceAsJudged(const Text& reached, const Text& judgedSource);
[[nodiscard]] PolicyVerdict CheckExport(const Text& source, const Text& destination, const Text& tempFolder);
// Longest shell target, checked before any shell call: Wine's shell writes past its own
// stack buffers from about 997 characters on and ends the process. Document paths (260)
// and nearly all URLs fit, though Windows itself takes URLs of up to 2083 characters.
constexpr size_t MaxShellTargetLength = 900;
[[nodiscard]] PolicyVerdict CheckShellTarget(const Text& target);
// What the shell would take as the target's scheme, lower case ("https", "ftp"), and its
// document type ("pdf": after the last '.', lower case); empty where it has none.
Text ShellSchemeOf(const Text& target);
Text ShellDocumentTypeOf(const Text& target);

}  // namespace tarnvel::requests
