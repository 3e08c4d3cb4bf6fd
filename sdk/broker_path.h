// SPDX-License-Identifier: Apache-2.0
// Which TarnvelBroker.exe a host starts. The default, and any relative path the host gives,
// is taken from the folder of TarnvelHost.dll itself: never from the current directory or a
// search path, where another program of that name could have been planted. A path that only
// the current drive or its current directory could complete ("C:broker.exe",
// "\\broker.exe") is refused, and so is one holding U+0000, which Windows would cut short.
// Pure: builds natively and runs under the sanitizers.
#pragma once
#include <string>

namespace tarnvel::sdk {

// The broker's file name when the host names none.
constexpr const wchar_t* DefaultBrokerName = L"TarnvelBroker.exe";

// `given` (empty: DefaultBrokerName) against `moduleFolder`, the DLL's folder: an absolute
// path ("X:\\...", "\\\\server\\share\\...", "\\\\?\\...") as it is, a relative one joined to the
// folder. False, with `out` empty, for a path that depends on the current drive or directory,
// or when there is no folder to join a relative path to.
bool ResolveBrokerPath(const std::wstring& moduleFolder, const std::wstring& given, std::wstring& out);

}  // namespace tarnvel::sdk
