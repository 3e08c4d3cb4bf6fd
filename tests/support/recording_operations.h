// SPDX-License-Identifier: Apache-2.0
// Operations that only record what they were asked, for the dispatcher's native tests and
// its fuzz target: which operation ran, and on which judged texts.
#pragma once
#include <string>
#include <memory>
#include <vector>
#include "base/decimal.h"
#include "base/hex.h"
#include "requests/dispatcher.h"

using namespace tarnvel;

using namespace tarnvel::policy;
using namespace tarnvel::registry;
using namespace tarnvel::requests;

struct RecordedCall {
  std::string name;
  std::vector<Text> texts;  // the texts the operation received, in order
  std::vector<int32_t> hives;
};

class RecordingOperations : public RequestOperations {
 public:
  Text dataFolder = u"C:\\Users\\u\\AppData\\Roaming";
  Text tempFolder = u"C:\\Users\\u\\AppData\\Local\\Temp";
  std::vector<RecordedCall> calls;
  std::vector<Text> expanded;  // paths handed to ExpandLongPath, in order
  // What the next operation answers where a test wants another outcome.
  OpOutcome outcome{};

  std::shared_ptr<const tarnvel::policy::EffectivePolicy> adminPolicy = tarnvel::policy::BuiltInAdminPolicy();

  std::shared_ptr<const tarnvel::policy::EffectivePolicy> AdminPolicy() override { return adminPolicy; }
  Text DataFolder() override { return dataFolder; }
  Text TempFolder() override { return tempFolder; }
  // Short names are made long as the system would: "PROGRA~1" is "Program Files" here.
  Text ExpandLongPath(const Text& path) override {
    expanded.push_back(path);
    Text out = path;
    const Text shortName = u"PROGRA~1";
    const size_t at = out.find(shortName);
    if (at != Text::npos) out.replace(at, shortName.size(), u"Program Files");
    return out;
  }

  OpOutcome ReadString(const JudgedKey& k, const Text& n, Text& out) override {
    out = u"value";
    return Record("ReadString", k, {n});
  }
  OpOutcome WriteString(const JudgedKey& k, const Text& n, const Text& d) override {
    return Record("WriteString", k, {n, d});
  }
  OpOutcome ReadDword(const JudgedKey& k, const Text& n, uint32_t& out) override {
    out = 4294967295u;
    return Record("ReadDword", k, {n});
  }
  OpOutcome WriteDword(const JudgedKey& k, const Text& n, uint32_t v) override {
    return Record("WriteDword", k, {n, Text(1, static_cast<char16_t>(v & 0xFFFF))});
  }
  OpOutcome ReadQword(const JudgedKey& k, const Text& n, uint64_t& out) override {
    out = 18446744073709551615ull;
    return Record("ReadQword", k, {n});
  }
  OpOutcome WriteQword(const JudgedKey& k, const Text& n, uint64_t) override { return Record("WriteQword", k, {n}); }
  OpOutcome DeleteValue(const JudgedKey& k, const Text& n) override { return Record("DeleteValue", k, {n}); }
  OpOutcome DeleteKey(const JudgedKey& k) override { return Record("DeleteKey", k, {}); }
  OpOutcome DeleteKeyTree(const JudgedKey& k) override { return Record("DeleteKeyTree", k, {}); }
  OpOutcome KeyExists(const JudgedKey& k) override { return Record("KeyExists", k, {}); }
  OpOutcome ListSubkeys(const JudgedKey& k, std::vector<Text>& names) override {
    names = {u"x", u"yz"};
    return Record("ListSubkeys", k, {});
  }
  OpOutcome ListValues(const JudgedKey& k, std::vector<Text>& items) override {
    items = {u"n", u"d"};
    return Record("ListValues", k, {});
  }
  OpOutcome CopyKeyTree(const JudgedKey& from, const JudgedKey& to) override {
    calls.push_back({"CopyKeyTree", {from.key(), to.key()}, {from.hive(), to.hive()}});
    return outcome;
  }

  OpOutcome ReadDataFile(const JudgedDataPath& p, uint32_t maxBytes, ipc::ReplyBody& reply) override {
    reply.text = u"00ff";
    return RecordPath("ReadDataFile", p, {FormatUnsignedDecimal(maxBytes)});
  }
  // The data is recorded as the lower-case hexadecimal text that spells it.
  OpOutcome WriteDataFile(const JudgedDataPath& p, const std::vector<uint8_t>& data) override {
    return RecordPath("WriteDataFile", p, {EncodeHexLower(data.data(), data.size())});
  }
  OpOutcome DataFileExists(const JudgedDataPath& p) override { return RecordPath("DataFileExists", p, {}); }
  OpOutcome DeleteDataFile(const JudgedDataPath& p) override { return RecordPath("DeleteDataFile", p, {}); }

  OpOutcome ShellOpen(const JudgedShellTarget& t) override {
    calls.push_back({"ShellOpen", {t.target()}, {}});
    return outcome;
  }
  OpOutcome CopyFileIn(const JudgedCopy& c) override { return RecordCopy("CopyFileIn", c); }
  OpOutcome ExportFile(const JudgedCopy& c) override { return RecordCopy("ExportFile", c); }
  OpOutcome StartHttpCheck(const JudgedUrl& url, uint32_t& id) override {
    calls.push_back({"StartHttpCheck", {url.url()}, {}});
    id = 4294967295u;
    return outcome;
  }
  OpOutcome PollHttpCheck(uint32_t id, Text& reply) override {
    reply = u"pending";
    calls.push_back({"PollHttpCheck", {Text(1, static_cast<char16_t>(id & 0xFFFF))}, {}});
    return outcome;
  }

 private:
  OpOutcome Record(const char* name, const JudgedKey& k, std::vector<Text> texts) {
    texts.insert(texts.begin(), k.key());
    calls.push_back({name, std::move(texts), {k.hive()}});
    return outcome;
  }
  OpOutcome RecordPath(const char* name, const JudgedDataPath& p, std::vector<Text> texts) {
    texts.insert(texts.begin(), p.path());
    calls.push_back({name, std::move(texts), {}});
    return outcome;
  }
  OpOutcome RecordCopy(const char* name, const JudgedCopy& c) {
    calls.push_back({name, {c.source(), c.destination(), c.tempFolder(), c.remainderBelowTemp()}, {}});
    return outcome;
  }
};
