// SPDX-License-Identifier: Apache-2.0
#include "policy/admin_policy_source_win.h"

#include <atomic>
#include <string>
#include "base/debug_line.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"

namespace tarnvel::policy {

namespace {

// Group Policy writes the 64-bit view; Windows shares Software\Policies between the views
// anyway, and Wine may not.
constexpr REGSAM kView = KEY_WOW64_64KEY;
// Larger data than any well-formed policy value; a value beyond it is read as malformed.
constexpr DWORD MaxPolicyDataBytes = 64 * 1024;
constexpr DWORD MaxValueNameUnits = 16383;
// How long a request waits for the watch thread's first read before it reads the keys itself.
constexpr DWORD FirstReadMs = 5000;

// The key and its parents, deepest first, the hive's root last.
const wchar_t* const kWatchPaths[] = {L"Software\\Policies\\Tarnvel\\Broker", L"Software\\Policies\\Tarnvel",
                                      L"Software\\Policies", L"Software", L""};

// One hive's watch: the nearest existing key of the policy key's path, with a change
// notification armed on its event. A key that is created deeper, or changed, signals it.
struct HiveWatch {
  HKEY root;
  UniqueHandle event;
  UniqueRegKey watched;

  void Arm() {
    for (const wchar_t* path : kWatchPaths) {
      if (RegOpenKeyExW(root, path, 0, KEY_NOTIFY | kView, watched.put()) != ERROR_SUCCESS) continue;
      if (RegNotifyChangeKeyValue(watched.get(), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, event.get(),
                                  TRUE) == ERROR_SUCCESS) {
        return;
      }
    }
    watched.reset();
  }
};

std::shared_ptr<const EffectivePolicy>& CurrentSlot() {
  static auto* slot = new std::shared_ptr<const EffectivePolicy>();
  return *slot;
}

void ReportNewlyIgnored(const EffectivePolicy& before, const EffectivePolicy& now) {
  for (const IgnoredPolicyValue& i : now.ignored) {
    bool known = !i.malformed;
    for (const IgnoredPolicyValue& b : before.ignored) known = known || b == i;
    if (known) continue;
    const std::string line = "[TarnvelBroker] policy " + IgnoredPolicyLine(i) + "\n";
    DebugLine(line.c_str());
  }
}

void Publish(std::shared_ptr<const EffectivePolicy> next) {
  const std::shared_ptr<const EffectivePolicy> before = std::atomic_load(&CurrentSlot());
  ReportNewlyIgnored(before ? *before : *BuiltInAdminPolicy(), *next);
  std::atomic_store(&CurrentSlot(), std::move(next));
}

std::shared_ptr<const EffectivePolicy> ReadShared() {
  return std::make_shared<const EffectivePolicy>(ReadAdminPolicy());
}

struct WatchStart {
  HiveWatch watches[2];
  UniqueHandle published;  // set once the first read is in force
};

// Arms both watches here, then makes the first read: Windows ties a notification to the
// thread that asked for it, this thread lives as long as the process, and a change after
// the watches are armed is read again.
DWORD WINAPI WatchAdminPolicy(void* context) {
  WatchStart* start = static_cast<WatchStart*>(context);
  HiveWatch* watches = start->watches;
  watches[0].Arm();
  watches[1].Arm();
  Publish(ReadShared());
  SetEvent(start->published.get());
  for (;;) {
    const HANDLE events[2] = {watches[0].event.get(), watches[1].event.get()};
    const DWORD r = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (r != WAIT_OBJECT_0 && r != WAIT_OBJECT_0 + 1) return 1;
    // Armed again before reading, so that no change after the read goes unseen.
    watches[r - WAIT_OBJECT_0].Arm();
    Publish(ReadShared());
  }
}

// Starts the watch thread, which makes the first read; without it, the read is made here and
// stays in force.
WatchStart* StartWatch() {
  // Never freed: the watch thread uses it until the process ends.
  WatchStart* start = new WatchStart{
      {{HKEY_LOCAL_MACHINE, UniqueHandle(), UniqueRegKey()}, {HKEY_CURRENT_USER, UniqueHandle(), UniqueRegKey()}},
      UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr))};
  bool ready = start->published.valid();
  for (HiveWatch& w : start->watches) {
    w.event.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ready = ready && w.event.valid();
  }
  const UniqueHandle thread(ready ? CreateThread(nullptr, 0, WatchAdminPolicy, start, 0, nullptr) : nullptr);
  if (!thread) {
    Publish(ReadShared());
    if (start->published) SetEvent(start->published.get());
  }
  return start;
}

WatchStart& Watch() {
  static WatchStart* start = StartWatch();
  return *start;
}

}  // namespace

std::vector<RawPolicyValue> ReadPolicyValues(HKEY root) {
  std::vector<RawPolicyValue> values;
  UniqueRegKey key;
  if (RegOpenKeyExW(root, kWatchPaths[0], 0, KEY_QUERY_VALUE | kView, key.put()) != ERROR_SUCCESS) return values;
  std::wstring name(MaxValueNameUnits + 1, L'\0');
  std::vector<uint8_t> data(MaxPolicyDataBytes);
  for (DWORD index = 0;; ++index) {
    DWORD nameUnits = MaxValueNameUnits + 1;
    DWORD type = 0;
    DWORD bytes = MaxPolicyDataBytes;
    const LSTATUS r = RegEnumValueW(key.get(), index, &name[0], &nameUnits, nullptr, &type, data.data(), &bytes);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) break;
    RawPolicyValue v;
    v.name = FromWide(name.data(), nameUnits);
    // Too large to be any policy's: kept with no type, so that it is reported.
    v.type = r == ERROR_SUCCESS ? type : 0;
    if (r == ERROR_SUCCESS) v.data.assign(data.begin(), data.begin() + bytes);
    values.push_back(std::move(v));
  }
  return values;
}

EffectivePolicy ReadAdminPolicy() {
  return MakeEffectivePolicy(ReadPolicyValues(HKEY_LOCAL_MACHINE), ReadPolicyValues(HKEY_CURRENT_USER));
}

void StartAdminPolicyWatch() { Watch(); }

std::shared_ptr<const EffectivePolicy> CurrentAdminPolicy() {
  std::shared_ptr<const EffectivePolicy> current = std::atomic_load(&CurrentSlot());
  if (current) return current;
  // Only until the first read is in force: never the built-in rules in its place.
  WaitForSingleObject(Watch().published.get(), FirstReadMs);
  current = std::atomic_load(&CurrentSlot());
  return current ? current : std::make_shared<const EffectivePolicy>(ReadAdminPolicy());
}

}  // namespace tarnvel::policy
