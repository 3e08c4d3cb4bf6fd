// SPDX-License-Identifier: Apache-2.0
// tarnvel-host --json: what a script's JSON parser reads must be exactly the broker's text.
#include <gtest/gtest.h>

#include "tools/tarnvel-host/json.h"

using namespace tarnvel;

namespace tarnvel::host {
namespace {

TEST(JsonString, EscapesWhatJsonRequiresAndKeepsTheRestAsUtf8) {
  struct Case {
    Text text;
    std::string json;
  };
  const Case cases[] = {
      {u"", "\"\""},
      {u"pong", "\"pong\""},
      {u"say \"hi\"", "\"say \\\"hi\\\"\""},
      {u"C:\\temp\\x.pdf", "\"C:\\\\temp\\\\x.pdf\""},
      {u"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
      // Lists arrive with U+0000 after each element.
      {Text(u"x\0yz\0", 5), "\"x\\u0000yz\\u0000\""},
      {u"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
      {u"\u00e9\u20ac", "\"\xc3\xa9\xe2\x82\xac\""},
      // A surrogate pair is one character, U+1F600.
      {u"\U0001F600", "\"\xf0\x9f\x98\x80\""},
      // Lone surrogates cannot be UTF-8: they stay escaped, unit for unit.
      {Text(1, char16_t(0xD800)), "\"\\ud800\""},
      {Text(1, char16_t(0xDC00)) + u"x", "\"\\udc00x\""},
      {Text(u"a") + char16_t(0xDBFF) + u"b", "\"a\\udbffb\""},
      // A low surrogate before a high one is two lone surrogates, not a pair.
      {Text{char16_t(0xDC00), char16_t(0xD800)}, "\"\\udc00\\ud800\""},
      {Text{char16_t(0xD800), char16_t(0xD800), char16_t(0xDC00)}, "\"\\ud800\xf0\x90\x80\x80\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JsonString(c.text), c.json);
  }
}

TEST(JsonString, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  struct Case {
    std::string bytes;
    std::string json;
  };
  const std::string fffd = "\xef\xbf\xbd";
  const Case cases[] = {
      {"[TarnvelBroker] denied: outside Tarnvel subtree", "\"[TarnvelBroker] denied: outside Tarnvel subtree\""},
      {"caf\xc3\xa9\n", "\"caf\xc3\xa9\\n\""},
      {"\xe9t\xe9", "\"" + fffd + "t" + fffd + "\""},                 // Latin-1, not UTF-8
      {"\xc0\xaf", "\"" + fffd + fffd + "\""},                        // an overlong '/'
      {"\xed\xa0\x80", "\"" + fffd + fffd + fffd + "\""},             // an encoded surrogate
      {"\xe2\x82", "\"" + fffd + fffd + "\""},                        // cut short
      {"\xf4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\""},  // past U+10FFFF
      {std::string("a\0b", 3), "\"a\\u0000b\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JsonStringFromBytes(c.bytes), c.json);
  }
}

TEST(JsonObject, MembersInOrderAndArrays) {
  JsonObject o;
  o.String("word", u"list-keys").Number("status", 0).Bool("ok", true).Raw("list", JsonArray({"\"a\"", "\"b\""}));
  EXPECT_EQ(o.Json(), "{\"word\":\"list-keys\",\"status\":0,\"ok\":true,\"list\":[\"a\",\"b\"]}");
  EXPECT_EQ(JsonObject().Json(), "{}");
  EXPECT_EQ(JsonArray({}), "[]");
  EXPECT_EQ(JsonObject().Number("exitCode", -1).Json(), "{\"exitCode\":-1}");
}

}  // namespace
}  // namespace tarnvel::host
