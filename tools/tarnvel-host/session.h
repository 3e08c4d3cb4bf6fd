// SPDX-License-Identifier: Apache-2.0
// The words of a tarnvel-host session: one line per action, split into words, turned into
// an Action. Pure: no Win32 here, so the rules read the same on every build.
//
// Words are separated by blanks. '...' quotes literally; "..." quotes literally except that
// \" stands for a quotation mark. Quoted and unquoted parts next to each other join into
// one word ('a b'c is the word "a bc"). A line whose first word starts with '#' is a comment.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/text.h"
#include "ipc/param.h"

namespace tarnvel::host {

bool SplitWords(const Text& line, std::vector<Text>& words, std::string& error);

enum class ReplyShape { Plain, List, Pairs };

struct Action {
  enum class Kind { Request, PluginPipe, Send, Post, Raw, KeepAlive, Sleep, Close };
  Kind kind = Kind::Request;
  // Request (message 6)
  int32_t op = 0;
  int32_t hive = 0;
  Text a, b, c;
  ReplyShape shape = ReplyShape::Plain;
  // PluginPipe: the plug-in's pid; Sleep: milliseconds
  uint32_t number = 0;
  // Send / Post: a message of the caller's own making
  int32_t id = 0;
  std::vector<ipc::Param> params;
  // Raw: bytes written as they are
  std::vector<uint8_t> bytes;
};

// False with a readable error for an unknown word or wrong arguments.
bool ParseAction(const std::vector<Text>& words, Action& out, std::string& error);

// The --help text: options and every word.
const char* HelpText();

// A reply status as the tool prints it: its name, or "status <n>" for a number the
// protocol does not define.
std::string StatusText(int32_t status);

// A text for the console: UTF-8 in double quotes, with \" and \uXXXX for control
// characters (an embedded U+0000 shows as \u0000).
std::string Quoted(const Text& text);
std::string Utf8(const Text& text);
Text FromUtf8(const std::string& bytes);

}  // namespace tarnvel::host
