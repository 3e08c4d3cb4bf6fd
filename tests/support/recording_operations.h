// SPDX-License-Identifier: Apache-2.0
// Operations that only record what they were asked, for the dispatcher's native tests and
// its fuzz target: which operation ran, on which texts, and with which verdicts.
#pragma once
#include <string>
#include <vector>
#include "requests/dispatcher.h"

struct RecordedCall {
  std::string name;
  std::vector<Text> texts;            // the texts the operation received, in order
  std::vector<PolicyVerdict> judged;  // verdicts of the judged values it received
  std::vector<int32_t> hives;
};

class RecordingOperations : public RequestOperations {
 public:
  Text dataFolder = u"C:\\Users\\u\\AppData\\Roaming";
  std::vector<RecordedCall> calls;

  Text DataFolder() override { return dataFolder; }

  bool ReadString(const JudgedKey& k, const Text& n, Text& out) override {
    Record("ReadString", k, {n});
    out = u"value";
    return true;
  }
  bool WriteString(const JudgedKey& k, const Text& n, const Text& d) override {
    return Record("WriteString", k, {n, d});
  }
  bool ReadDword(const JudgedKey& k, const Text& n, uint32_t& out) override {
    out = 4294967295u;
    return Record("ReadDword", k, {n});
  }
  bool WriteDword(const JudgedKey& k, const Text& n, uint32_t v) override {
    return Record("WriteDword", k, {n, Text(1, static_cast<char16_t>(v & 0xFFFF))});
  }
  bool ReadQword(const JudgedKey& k, const Text& n, uint64_t& out) override {
    out = 18446744073709551615ull;
    return Record("ReadQword", k, {n});
  }
  bool WriteQword(const JudgedKey& k, const Text& n, uint64_t) override { return Record("WriteQword", k, {n}); }
  bool DeleteValue(const JudgedKey& k, const Text& n) override { return Record("DeleteValue", k, {n}); }
  bool DeleteKey(const JudgedKey& k) override { return Record("DeleteKey", k, {}); }
  bool DeleteKeyTree(const JudgedKey& k) override { return Record("DeleteKeyTree", k, {}); }
  bool KeyExists(const JudgedKey& k) override { return Record("KeyExists", k, {}); }
  bool ListSubkeys(const JudgedKey& k, std::vector<Text>& names) override {
    names = {u"x", u"yz"};
    return Record("ListSubkeys", k, {});
  }
  bool ListValues(const JudgedKey& k, std::vector<Text>& items) override {
    items = {u"n", u"d"};
    return Record("ListValues", k, {});
  }
  bool CopyKeyTree(const JudgedKey& from, const JudgedKey& to) override {
    calls.push_back({"CopyKeyTree", {from.key(), to.key()}, {from.verdict(), to.verdict()}, {from.hive(), to.hive()}});
    return true;
  }

  RequestStatus ReadDataFile(const JudgedDataPath& p, Text& reply) override {
    reply = u"00ff";
    return RecordPath("ReadDataFile", p, {});
  }
  RequestStatus WriteDataFile(const JudgedDataPath& p, const Text& hex) override {
    return RecordPath("WriteDataFile", p, {hex});
  }
  RequestStatus DataFileExists(const JudgedDataPath& p) override { return RecordPath("DataFileExists", p, {}); }
  RequestStatus DeleteDataFile(const JudgedDataPath& p) override { return RecordPath("DeleteDataFile", p, {}); }

  RequestStatus ShellOpen(const Text& t) override { return RecordRaw("ShellOpen", {t}); }
  RequestStatus CopyFileIn(const Text& s, const Text& d) override { return RecordRaw("CopyFileIn", {s, d}); }
  RequestStatus ExportFile(const Text& s, const Text& d) override { return RecordRaw("ExportFile", {s, d}); }
  RequestStatus StartHttpCheck(const Text& url, Text& reply) override {
    reply = u"1";
    return RecordRaw("StartHttpCheck", {url});
  }
  RequestStatus PollHttpCheck(const Text& id, Text& reply) override {
    reply = u"pending";
    return RecordRaw("PollHttpCheck", {id});
  }

 private:
  bool Record(const char* name, const JudgedKey& k, std::vector<Text> texts) {
    texts.insert(texts.begin(), k.key());
    calls.push_back({name, std::move(texts), {k.verdict()}, {k.hive()}});
    return true;
  }
  RequestStatus RecordPath(const char* name, const JudgedDataPath& p, std::vector<Text> texts) {
    texts.insert(texts.begin(), p.path());
    calls.push_back({name, std::move(texts), {p.verdict()}, {}});
    return RequestStatus::Success;
  }
  RequestStatus RecordRaw(const char* name, std::vector<Text> texts) {
    calls.push_back({name, std::move(texts), {}, {}});
    return RequestStatus::Success;
  }
};
