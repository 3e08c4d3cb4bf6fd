// SPDX-License-Identifier: Apache-2.0
#include "tools/tarnvel-host/options_win.h"

#include <cstdio>

#include "base/decimal.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "tools/tarnvel-host/printer.h"

namespace tarnvel::host {

namespace {

#ifndef TARNVEL_VERSION
#define TARNVEL_VERSION "unknown"
#endif

std::string Narrow(const std::wstring& w) { return Utf8(FromWide(w)); }

bool OptionError(const std::wstring& option, const std::string& what) {
  fprintf(stderr, "tarnvel-host: %s%s (see --help)\n", Narrow(option).c_str(), what.c_str());
  return false;
}

// Decimal digits only, 0 to 4294967295.
bool NumberOption(const std::wstring& option, const wchar_t* value, const char* unit, DWORD& out) {
  uint64_t v = 0;
  if (ParseDecimalDigits(FromWide(value), 0xFFFFFFFFull, v)) {
    out = static_cast<DWORD>(v);
    return true;
  }
  return OptionError(option, ": '" + Narrow(value) + "' is not " + unit + " (decimal, 0 to 4294967295)");
}

bool ReadFileBytes(const std::wstring& path, std::string& out) {
  UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(file.get(), buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  return true;
}

// The lines of a script file, each checked before anything starts.
bool AddScript(const std::wstring& path, std::vector<Line>& lines) {
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return OptionError(L"--script", ": cannot read '" + Narrow(path) + "'");
  Text all = FromUtf8(bytes);
  size_t start = 0, number = 0;
  std::string error;
  while (start <= all.size()) {
    size_t end = all.find(u'\n', start);
    if (end == Text::npos) end = all.size();
    ++number;
    if (!AddLine(all.substr(start, end - start), lines, error)) {
      fprintf(stderr, "tarnvel-host: %s line %zu: %s\n", Narrow(path).c_str(), number, error.c_str());
      return false;
    }
    start = end + 1;
  }
  return true;
}

bool FileExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Beside this program, else dist\<arch>\ of a folder above it (the build tree's place
// in a clone of the repository).
std::wstring DefaultBrokerExe() {
  wchar_t self[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self, n);
  const std::wstring beside = dir.substr(0, dir.find_last_of(L"\\/") + 1) + L"TarnvelBroker.exe";
  if (FileExists(beside)) return beside;
  const wchar_t* arch = sizeof(void*) == 8 ? L"x64" : L"x86";
  for (int up = 0; up < 8; ++up) {
    size_t slash = dir.find_last_of(L"\\/");
    if (slash == std::wstring::npos) break;
    dir.resize(slash);
    std::wstring candidate = dir + L"\\dist\\" + arch + L"\\TarnvelBroker.exe";
    if (FileExists(candidate)) return candidate;
  }
  return beside;
}

// One option or session word at argv[i] (an option's value too); false on a usage error.
bool TakeArgument(int argc, wchar_t** argv, int& i, CommandLine& out) {
  Options& options = out.options;
  const std::wstring arg = argv[i];
  const bool takesValue = arg == L"--broker" || arg == L"--pipe" || arg == L"--host-pid" || arg == L"--timeout" ||
                          arg == L"--quiet-ms" || arg == L"--handle-bits" || arg == L"--script";
  if (takesValue && i + 1 >= argc) return OptionError(arg, " needs a value");
  if (arg == L"--debug-lines") {
    options.debugLines = true;
  } else if (arg == L"--json") {
    options.json = true;
  } else if (arg == L"--broker") {
    options.brokerExe = argv[++i];
  } else if (arg == L"--pipe") {
    options.pipeName = argv[++i];
    if (options.pipeName.empty() || options.pipeName.find(L'\\') != std::wstring::npos) {
      return OptionError(arg, ": '" + Narrow(options.pipeName) + "' is not a pipe name (not empty, no backslash)");
    }
  } else if (arg == L"--host-pid") {
    return NumberOption(arg, argv[++i], "a process id", options.hostPid);
  } else if (arg == L"--timeout") {
    return NumberOption(arg, argv[++i], "a number of milliseconds", options.timeoutMs);
  } else if (arg == L"--quiet-ms") {
    return NumberOption(arg, argv[++i], "a number of milliseconds", options.quietMs);
  } else if (arg == L"--handle-bits") {
    const std::wstring v = argv[++i];
    if (v != L"32" && v != L"64") return OptionError(arg, ": '" + Narrow(v) + "' is neither 32 nor 64");
    options.handleWidth = v == L"32" ? ipc::PointerWidth::Bits32 : ipc::PointerWidth::Bits64;
  } else if (arg == L"--script") {
    const std::wstring path = argv[++i];
    if (path != L"-") return AddScript(path, out.lines);
    if (out.stdinAt != SIZE_MAX) return OptionError(arg, ": standard input ('-') can be read only once");
    out.stdinAt = out.lines.size();
  } else if (arg.rfind(L"--", 0) == 0) {
    return OptionError(arg, " is not an option");
  } else {
    std::string error;
    if (!AddLine(FromWide(arg), out.lines, error)) {
      fprintf(stderr, "tarnvel-host: '%s': %s\n", Narrow(arg).c_str(), error.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool AddLine(const Text& text, std::vector<Line>& lines, std::string& error) {
  size_t first = text.find_first_not_of(u" \t\r\n");
  if (first == Text::npos || text[first] == u'#') return true;
  std::vector<Text> words;
  if (!SplitWords(text, words, error)) return false;
  Line line;
  line.text = text;
  while (!line.text.empty() && (line.text.back() == u'\r' || line.text.back() == u'\n')) line.text.pop_back();
  if (!ParseAction(words, line.action, error)) return false;
  lines.push_back(std::move(line));
  return true;
}

std::optional<int> ParseCommandLine(int argc, wchar_t** argv, CommandLine& out) {
  // A session of nothing is a mistake, not a success; "/?" is how Windows programs are asked.
  if (argc < 2 || (argc == 2 && std::wstring(argv[1]) == L"/?")) {
    fputs(HelpText(), stderr);
    return ExitUsage;
  }
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--help" || arg == L"-h") {
      fputs(HelpText(), stdout);
      return ExitOk;
    }
    if (arg == L"--version") {
      Out("tarnvel-host " TARNVEL_VERSION);
      return ExitOk;
    }
    if (!TakeArgument(argc, argv, i, out)) return ExitUsage;
  }
  if (out.options.brokerExe.empty()) out.options.brokerExe = DefaultBrokerExe();
  if (out.options.pipeName.empty()) out.options.pipeName = MakeUniquePipeName();
  return std::nullopt;
}

}  // namespace tarnvel::host
