// SPDX-License-Identifier: Apache-2.0
#include "tools/tarnvel-host/session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/decimal.h"
#include "base/hex.h"
#include "tarnvel/protocol.h"
#include "tools/tarnvel-host/json.h"

namespace tarnvel::host {
namespace {

using protocol::Code;
using protocol::kOps;
using protocol::OpInfo;
using protocol::RequestOp;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Texts of the words themselves are ASCII; arguments may be anything.
std::string Ascii(const Text& t) {
  std::string out;
  for (char16_t c : t) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

bool ParseInt64(const Text& word, int64_t& out) {
  std::string s = Ascii(word);
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (errno != 0 || end == s.c_str() || *end != '\0') return false;
  out = v;
  return true;
}

bool ParseInt32(const Text& word, int32_t& out) {
  int64_t v = 0;
  // Values up to 0xFFFFFFFF are accepted and wrap, so that any 32-bit pattern can be written.
  if (!ParseInt64(word, v) || v < INT32_MIN || v > static_cast<int64_t>(UINT32_MAX)) return false;
  out = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

// Command words and hive names are ASCII; people write them in any case.
std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool ParseHive(const Text& word, int32_t& hive) {
  std::string s = Lower(Ascii(word));
  if (s == "hkcu")
    hive = 0;
  else if (s == "hklm")
    hive = 1;
  else
    return ParseInt32(word, hive);
  return true;
}

// One parameter of a hand-made message: KIND:VALUE or a null kind alone.
bool ParseParam(const Text& word, ipc::Param& out, std::string& error) {
  size_t colon = word.find(u':');
  std::string kind = Ascii(word.substr(0, colon));
  Text value = colon == Text::npos ? Text() : word.substr(colon + 1);
  bool hasValue = colon != Text::npos;
  struct IntKind {
    const char* name;
    ipc::ParamType type;
  };
  static const IntKind ints[] = {
      {"i1", ipc::Int32Kind1}, {"i2", ipc::Int32Kind2}, {"i3", ipc::Int32Kind3}, {"i4", ipc::Int32Kind4}};
  for (const IntKind& k : ints) {
    if (kind == k.name) {
      int32_t v = 0;
      if (!hasValue || !ParseInt32(value, v)) break;
      out = ipc::Param::Int32(v, k.type);
      return true;
    }
  }
  int64_t n = 0;
  if (kind == "c8" && hasValue && ParseInt64(value, n)) {
    out = ipc::Param::Char8Value(static_cast<uint8_t>(n));
    return true;
  }
  if (kind == "c16" && hasValue && ParseInt64(value, n)) {
    out = ipc::Param::Char16Value(static_cast<char16_t>(n));
    return true;
  }
  if (kind == "ptr" && hasValue && ParseInt64(value, n)) {
    out = ipc::Param::Pointer(n);
    return true;
  }
  if (kind == "null8" && !hasValue) {
    out = ipc::Param::Null(ipc::NullString8);
    return true;
  }
  if (kind == "null16" && !hasValue) {
    out = ipc::Param::Null(ipc::NullString16);
    return true;
  }
  if (kind == "nullbytes" && !hasValue) {
    out = ipc::Param::Null(ipc::NullByteArray);
    return true;
  }
  if (kind == "s" && hasValue) {
    out = ipc::Param::Text16(value, ipc::String16);
    return true;
  }
  if (kind == "cs" && hasValue) {
    out = ipc::Param::Text16(value, ipc::CString16);
    return true;
  }
  if ((kind == "b" || kind == "cb") && hasValue) {
    out = ipc::Param::Bytes(Utf8(value), kind == "b" ? ipc::String8 : ipc::CString8);
    return true;
  }
  std::vector<uint8_t> bytes;
  if (kind == "bytes" && hasValue && DecodeHex(value, bytes)) {
    out = ipc::Param::Bytes(std::string(bytes.begin(), bytes.end()), ipc::ByteArray);
    return true;
  }
  error = "bad parameter '" + Ascii(word) +
          "' (see --help: i1..i4, c8, c16, ptr, null8, null16, nullbytes, s, cs, b, cb, bytes)";
  return false;
}

// The number of a write-dword or write-qword, checked before it is sent (the broker itself
// reads any text leniently): decimal digits with an optional '-', within the unsigned or
// signed range of `bits`, so that every bit pattern can be written and nothing else.
bool CheckDecimal(const Text& text, int bits) {
  const bool negative = !text.empty() && text[0] == u'-';
  const std::u16string_view digits = std::u16string_view(text).substr(negative ? 1 : 0);
  // As many digits as the widest value has, leading zeros included.
  if (digits.size() > 20) return false;
  const uint64_t limit =
      negative ? (bits == 32 ? 0x80000000ull : 0x8000000000000000ull) : (bits == 32 ? 0xFFFFFFFFull : ~0ull);
  uint64_t value = 0;
  return ParseDecimalDigits(digits, limit, value);
}

// The tool's own part of each op: how its reply is printed and what its arguments are
// called. The op's word, hive use and texts come from the protocol's op table.
struct ToolUsage {
  RequestOp op;
  ReplyShape shape;
  const char* usage;
};

constexpr ToolUsage kToolUsages[] = {
    {RequestOp::Ping, ReplyShape::Plain, ""},
    {RequestOp::ReadString, ReplyShape::Plain, "HIVE KEY NAME"},
    {RequestOp::WriteString, ReplyShape::Plain, "HIVE KEY NAME TEXT"},
    {RequestOp::ReadDword, ReplyShape::Plain, "HIVE KEY NAME"},
    {RequestOp::WriteDword, ReplyShape::Plain, "HIVE KEY NAME DECIMAL"},
    {RequestOp::DeleteValue, ReplyShape::Plain, "HIVE KEY NAME"},
    {RequestOp::DeleteKey, ReplyShape::Plain, "HIVE KEY"},
    {RequestOp::DeleteKeyTree, ReplyShape::Plain, "HIVE KEY"},
    {RequestOp::KeyExists, ReplyShape::Plain, "HIVE KEY"},
    {RequestOp::ListSubkeys, ReplyShape::List, "HIVE KEY"},
    {RequestOp::ListValues, ReplyShape::Pairs, "HIVE KEY"},
    {RequestOp::ReadQword, ReplyShape::Plain, "HIVE KEY NAME"},
    {RequestOp::WriteQword, ReplyShape::Plain, "HIVE KEY NAME DECIMAL"},
    {RequestOp::ReadAppDataFile, ReplyShape::Plain, "PATH"},
    {RequestOp::WriteAppDataFile, ReplyShape::Plain, "PATH HEX"},
    {RequestOp::AppDataFileExists, ReplyShape::Plain, "PATH"},
    {RequestOp::DeleteAppDataFile, ReplyShape::Plain, "PATH"},
    {RequestOp::ShellOpen, ReplyShape::Plain, "TARGET"},
    {RequestOp::CopyKeyTree, ReplyShape::Plain, "HIVE SOURCE-KEY DESTINATION-KEY"},
    {RequestOp::CopyFileIn, ReplyShape::Plain, "SOURCE DESTINATION"},
    {RequestOp::ExportFile, ReplyShape::Plain, "SOURCE DESTINATION"},
    {RequestOp::StartHttpCheck, ReplyShape::Plain, "URL"},
    {RequestOp::PollHttpCheck, ReplyShape::Plain, "ID"},
};

constexpr const ToolUsage* FindUsage(RequestOp op) {
  for (const ToolUsage& u : kToolUsages) {
    if (u.op == op) return &u;
  }
  return nullptr;
}

// Counts the arguments a usage names, so that it can be held against the op's row.
constexpr size_t UsageWords(const char* usage) {
  size_t words = 0;
  for (bool inWord = false; *usage != '\0'; ++usage) {
    const bool blank = *usage == ' ';
    if (!blank && !inWord) ++words;
    inWord = !blank;
  }
  return words;
}

constexpr size_t TextCount(const char* texts) {
  size_t n = 0;
  while (texts[n] != '\0') ++n;
  return n;
}

// Every op the protocol has is a word of this tool, once, with a usage naming each of its
// arguments: a new row in the op table does not build until it has its usage here.
constexpr bool EveryOpHasItsUsage() {
  for (const OpInfo& info : kOps) {
    const ToolUsage* usage = FindUsage(info.op);
    if (usage == nullptr) return false;
    if (UsageWords(usage->usage) != (info.usesHive ? 1 : 0) + TextCount(info.texts)) return false;
  }
  for (const ToolUsage& u : kToolUsages) {
    size_t rows = 0;
    for (const OpInfo& info : kOps) rows += info.op == u.op ? 1 : 0;
    if (rows != 1) return false;
  }
  return true;
}
static_assert(EveryOpHasItsUsage(), "every row of the op table needs its usage in tarnvel-host, and no more");

Text* TextSlot(Action& a, char which) {
  switch (which) {
    case 'A':
      return &a.a;
    case 'B':
      return &a.b;
    default:
      return &a.c;
  }
}

bool ParseMessage(const std::vector<Text>& words, Action& out, std::string& error) {
  if (words.size() < 2 || !ParseInt32(words[1], out.id) || out.id < 0) {
    error = Ascii(words[0]) + " needs a message id (0 or more) and its parameters";
    return false;
  }
  for (size_t i = 2; i < words.size(); ++i) {
    ipc::Param p;
    if (!ParseParam(words[i], p, error)) return false;
    out.params.push_back(std::move(p));
  }
  return true;
}

}  // namespace

bool SplitWords(const Text& line, std::vector<Text>& words, std::string& error) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    Text word;
    while (i < line.size() && !IsBlank(line[i])) {
      char16_t c = line[i];
      if (c == u'\'' || c == u'"') {
        size_t j = i + 1;
        for (; j < line.size() && line[j] != c; ++j) {
          if (c == u'"' && line[j] == u'\\' && j + 1 < line.size() && line[j + 1] == u'"') ++j;
          word.push_back(line[j]);
        }
        if (j >= line.size()) {
          error = "unterminated quotation";
          return false;
        }
        i = j + 1;
      } else {
        word.push_back(c);
        ++i;
      }
    }
    words.push_back(std::move(word));
  }
  return true;
}

bool ParseAction(const std::vector<Text>& words, Action& out, std::string& error) {
  out = Action();
  if (words.empty()) {
    error = "empty line";
    return false;
  }
  const std::string word = Lower(Ascii(words[0]));
  for (const OpInfo& info : kOps) {
    if (word != info.word) continue;
    const ToolUsage& w = *FindUsage(info.op);
    size_t want = (info.usesHive ? 1 : 0) + std::strlen(info.texts);
    if (words.size() - 1 != want) {
      error = word + " takes: " + w.usage;
      return false;
    }
    out.kind = Action::Kind::Request;
    out.op = Code(info.op);
    out.shape = w.shape;
    size_t next = 1;
    if (info.usesHive && !ParseHive(words[next++], out.hive)) {
      error = "bad hive '" + Ascii(words[1]) + "' (hkcu, hklm or a number)";
      return false;
    }
    for (const char* t = info.texts; *t; ++t) *TextSlot(out, *t) = words[next++];
    const bool dword = info.op == RequestOp::WriteDword;
    if ((dword || info.op == RequestOp::WriteQword) && !CheckDecimal(out.c, dword ? 32 : 64)) {
      error = word + ": '" + Ascii(out.c) + "' is not a decimal number of " + (dword ? "32" : "64") + " bits (0 to " +
              (dword ? "4294967295" : "18446744073709551615") +
              ", or negative down to the signed limit; 'op' sends any text)";
      return false;
    }
    return true;
  }
  if (word == "op") {
    if (words.size() < 3 || words.size() > 6 || !ParseInt32(words[1], out.op) || !ParseHive(words[2], out.hive)) {
      error = "op takes: NUMBER HIVE [A [B [C]]]";
      return false;
    }
    out.kind = Action::Kind::Request;
    if (words.size() > 3) out.a = words[3];
    if (words.size() > 4) out.b = words[4];
    if (words.size() > 5) out.c = words[5];
    return true;
  }
  if (word == "plugin-pipe") {
    int64_t pid = 0;
    if (words.size() != 2 || !ParseInt64(words[1], pid) || pid < 0 || pid > static_cast<int64_t>(UINT32_MAX)) {
      error = "plugin-pipe takes: PID";
      return false;
    }
    out.kind = Action::Kind::PluginPipe;
    out.number = static_cast<uint32_t>(pid);
    return true;
  }
  if (word == "send" || word == "post") {
    out.kind = word == "send" ? Action::Kind::Send : Action::Kind::Post;
    return ParseMessage(words, out, error);
  }
  if (word == "raw") {
    Text hex;
    for (size_t i = 1; i < words.size(); ++i) hex += words[i];
    if (words.size() < 2 || !DecodeHex(hex, out.bytes)) {
      error = "raw takes hexadecimal bytes";
      return false;
    }
    out.kind = Action::Kind::Raw;
    return true;
  }
  if (word == "keep-alive" && words.size() == 1) {
    out.kind = Action::Kind::KeepAlive;
    return true;
  }
  if (word == "sleep") {
    int64_t ms = 0;
    if (words.size() != 2 || !ParseInt64(words[1], ms) || ms < 0 || ms > 600000) {
      error = "sleep takes: MILLISECONDS (at most 600000)";
      return false;
    }
    out.kind = Action::Kind::Sleep;
    out.number = static_cast<uint32_t>(ms);
    return true;
  }
  if (word == "close" && words.size() == 1) {
    out.kind = Action::Kind::Close;
    return true;
  }
  error = "unknown word '" + word + "' (see --help)";
  return false;
}

const char* HelpText() {
  return "tarnvel-host: starts a TarnvelBroker as a host application does, runs a session of\n"
         "requests written in plain words and prints each reply.\n"
         "\n"
         "usage: tarnvel-host [options] [LINE...]\n"
         "  Each LINE argument is one line of the session; --script adds the lines of a file.\n"
         "\n"
         "options:\n"
         "  --broker PATH     the broker exe (default: TarnvelBroker.exe beside this program,\n"
         "                    else dist\\x64 (x86 for a 32-bit tarnvel-host) of a folder above it)\n"
         "  --script FILE     read session lines from FILE (UTF-8); '-' reads standard input and\n"
         "                    runs each line as soon as it arrives\n"
         "  --debug-lines     run the broker under the debugger and show its debugger lines\n"
         "  --json            print one JSON object per session line (its word, status, text or\n"
         "                    list, and the debugger lines written for it) and one for the end\n"
         "  --pipe NAME       pipe name to give the broker (default: a unique name)\n"
         "  --host-pid PID    process id to give as the host (default: this program)\n"
         "  --timeout MS      time-out for connecting, each reply and the broker's exit (default 5000)\n"
         "  --handle-bits N   width of handle values the broker sends: 64 (x64 broker) or 32 (x86);\n"
         "                    default: this program's own width\n"
         "  --quiet-ms MS     how long post/raw/keep-alive watch for an unexpected message (default 300)\n"
         "  --version         the version of this program\n"
         "  --help            this text\n"
         "\n"
         "requests (message 6, reply 7); HIVE is hkcu, hklm or a number; words and hive names\n"
         "in any letter case:\n"
         "  ping\n"
         "  read-string HIVE KEY NAME          write-string HIVE KEY NAME TEXT\n"
         "  read-dword HIVE KEY NAME           write-dword HIVE KEY NAME DECIMAL\n"
         "  read-qword HIVE KEY NAME           write-qword HIVE KEY NAME DECIMAL\n"
         "  delete-value HIVE KEY NAME         delete-key HIVE KEY\n"
         "  delete-tree HIVE KEY               key-exists HIVE KEY\n"
         "  list-keys HIVE KEY                 list-values HIVE KEY\n"
         "  copy-tree HIVE SOURCE-KEY DESTINATION-KEY\n"
         "  read-file PATH                     write-file PATH HEX\n"
         "  file-exists PATH                   delete-file PATH\n"
         "  copy-in SOURCE DESTINATION         export SOURCE DESTINATION\n"
         "  shell-open TARGET\n"
         "  http-check URL                     http-poll ID\n"
         "  op NUMBER HIVE [A [B [C]]]         any op code with texts A, B, C\n"
         "\n"
         "other messages:\n"
         "  plugin-pipe PID      message 3: a private pipe for process PID (reply 4: error, handle)\n"
         "  send ID PARAM...     a message of your own; waits for one message back and prints it\n"
         "  post ID PARAM...     a message of your own that expects no reply (checks none comes)\n"
         "  keep-alive           message 1 with the value 0, which the broker swallows\n"
         "  raw HEX...           bytes written as they are; expects no reply\n"
         "  sleep MS             pause\n"
         "  close                close the host's end of the pipe (the broker then exits)\n"
         "  PARAM is i1:N i2:N i3:N i4:N (32-bit kinds), c8:N, c16:N, ptr:N, null8, null16,\n"
         "  nullbytes, s:TEXT (String16), cs:TEXT (CString16), b:TEXT, cb:TEXT (8-bit), bytes:HEX.\n"
         "\n"
         "quoting: words are separated by blanks; '...' is literal; in \"...\" only \\\" is special.\n"
         "Lines starting with # are comments.\n"
         "\n"
         "output: each line is echoed after '> ', then the broker's debugger lines ('debugger:')\n"
         "and the reply ('reply:' status number and name, the text; lists one element a line;\n"
         "a listed value with empty data is read as a string once more, and shows as\n"
         "(not a string) when it is of another type).\n"
         "At the end the host closes the pipe and prints the broker's exit code.\n"
         "\n"
         "exit status:\n"
         "  0  every request was answered with status 0 (Success) and the broker exited with 0\n"
         "  1  the session ran, but a reply had another status (NotFound, Denied, ...)\n"
         "  2  usage error: an unknown option or word, a bad option value, a bad argument\n"
         "     (write-dword and write-qword take decimal numbers only; op, send, post and raw\n"
         "     are sent unchecked), an unreadable script\n"
         "  3  the broker could not be started or connected to, or it misbehaved: no reply\n"
         "     within the time-out, broken pipe, malformed or wrong reply, an unexpected\n"
         "     message, no exit, a non-zero exit code, or a request after the connection ended\n";
}

std::string StatusText(int32_t status) {
  if (const char* name = protocol::StatusName(status)) return name;
  return "status " + std::to_string(status);
}

std::string Utf8(const Text& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

Text FromUtf8(const std::string& bytes) {
  Text out;
  size_t i = 0;
  while (i < bytes.size()) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      bool ok = i + len <= bytes.size();
      uint32_t v = b & (0x7F >> len);
      for (size_t k = 1; ok && k < len; ++k) {
        unsigned char cont = static_cast<unsigned char>(bytes[i + k]);
        if ((cont & 0xC0) != 0x80) ok = false;
        v = (v << 6) | (cont & 0x3F);
      }
      if (ok && v <= 0x10FFFF)
        cp = v;
      else
        len = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::string Quoted(const Text& text) {
  std::string out = "\"";
  Text plain;
  auto flush = [&] {
    out += Utf8(plain);
    plain.clear();
  };
  for (char16_t c : text) {
    if (c < 0x20 || c == 0x7F) {
      flush();
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else if (c == u'"') {
      flush();
      out += "\\\"";
    } else {
      plain.push_back(c);
    }
  }
  flush();
  out += "\"";
  return out;
}

}  // namespace tarnvel::host
