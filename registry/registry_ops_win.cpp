// SPDX-License-Identifier: Apache-2.0
#include "registry/registry_ops.h"

#include <windows.h>

#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"

namespace tarnvel::registry {

static_assert(ErrorFileNotFound == ERROR_FILE_NOT_FOUND && ErrorAccessDenied == ERROR_ACCESS_DENIED &&
                  ErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY && ErrorGenFailure == ERROR_GEN_FAILURE &&
                  ErrorInvalidParameter == ERROR_INVALID_PARAMETER && ErrorFileTooLarge == ERROR_FILE_TOO_LARGE &&
                  ErrorNotFound == ERROR_NOT_FOUND && ErrorUnsupportedType == ERROR_UNSUPPORTED_TYPE,
              "the pure side's names of the errors operations report");

namespace {

// Registry limits plus the terminator: 255 for key names, 16383 for value names.
constexpr DWORD SubkeyNameUnits = 256;
constexpr DWORD ValueNameUnits = 16384;

HKEY HiveRoot(int32_t hive) { return hive == 1 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

OpOutcome Failed(LSTATUS error, OpStep step) { return OpOutcome{static_cast<int32_t>(error), step}; }
OpOutcome Done(LSTATUS error) { return Failed(error, OpStep::Act); }
constexpr OpOutcome Succeeded{};

// A key handle of this request, or the error that kept it from opening.
struct OpenedKey {
  UniqueRegKey handle;
  LSTATUS error = ERROR_SUCCESS;
};

// The one open step of every operation: the judged key, opened (or created, for writes)
// below its hive with the access the act needs.
OpenedKey OpenKey(int32_t hive, const Text& key, REGSAM access, bool create = false) {
  HKEY raw = nullptr;
  OpenedKey opened;
  opened.error = create ? RegCreateKeyExW(HiveRoot(hive), WidePtr(key), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                          nullptr, &raw, nullptr)
                        : RegOpenKeyExW(HiveRoot(hive), WidePtr(key), 0, access, &raw);
  if (opened.error == ERROR_SUCCESS) opened.handle.reset(raw);
  return opened;
}
OpenedKey OpenKey(const JudgedKey& key, REGSAM access, bool create = false) {
  return OpenKey(key.hive(), key.key(), access, create);
}

// Shared by ReadString and ListValues. A value that grows between the size query and the
// read fails rather than being read again.
LSTATUS QueryStringValue(HKEY key, const Text& name, Text& out) {
  DWORD type = 0;
  DWORD bytes = 0;
  LSTATUS rc = RegQueryValueExW(key, WidePtr(name), nullptr, &type, nullptr, &bytes);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_UNSUPPORTED_TYPE;
  // Two spare units: the stored data need not end in a NUL, and may have an odd length.
  std::vector<wchar_t> buffer(bytes / 2 + 2, L'\0');
  DWORD size = bytes;
  rc = RegQueryValueExW(key, WidePtr(name), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
  if (rc != ERROR_SUCCESS) return rc;
  buffer[size / 2] = L'\0';
  out = FromWide(buffer.data());
  return ERROR_SUCCESS;
}

OpOutcome SetValue(const JudgedKey& key, const Text& name, DWORD type, const void* data, DWORD bytes) {
  const OpenedKey opened = OpenKey(key, KEY_WRITE, true);
  if (!opened.handle) return Failed(opened.error, OpStep::Open);
  return Done(RegSetValueExW(opened.handle.get(), WidePtr(name), 0, type, static_cast<const BYTE*>(data), bytes));
}

// Only the exact type counts; a shorter stored value leaves the high bytes at 0 and a
// longer one makes the query fail.
template <typename Number>
OpOutcome QueryNumber(const JudgedKey& key, const Text& name, DWORD wantedType, Number& out) {
  const OpenedKey opened = OpenKey(key, KEY_READ);
  if (!opened.handle) return Failed(opened.error, OpStep::Open);
  DWORD type = 0;
  Number number = 0;
  DWORD size = sizeof(number);
  const LSTATUS rc =
      RegQueryValueExW(opened.handle.get(), WidePtr(name), nullptr, &type, reinterpret_cast<BYTE*>(&number), &size);
  if (rc != ERROR_SUCCESS) return Done(rc);
  if (type != wantedType) return Done(ERROR_UNSUPPORTED_TYPE);
  out = number;
  return Succeeded;
}

}  // namespace

OpOutcome ReadString(const JudgedKey& key, const Text& name, Text& out) {
  out.clear();
  const OpenedKey opened = OpenKey(key, KEY_READ);
  if (!opened.handle) return Failed(opened.error, OpStep::Open);
  return Done(QueryStringValue(opened.handle.get(), name, out));
}

OpOutcome WriteString(const JudgedKey& key, const Text& name, const Text& data) {
  // Code units plus one NUL must fit the registry's 32-bit byte count; counted in 64 bits.
  const uint64_t bytes = static_cast<uint64_t>(data.size()) * 2 + 2;
  if (bytes > MAXDWORD) return Done(ERROR_INVALID_PARAMETER);
  return SetValue(key, name, REG_SZ, data.c_str(), static_cast<DWORD>(bytes));
}

OpOutcome ReadDword(const JudgedKey& key, const Text& name, uint32_t& out) {
  return QueryNumber(key, name, REG_DWORD, out);
}

OpOutcome WriteDword(const JudgedKey& key, const Text& name, uint32_t value) {
  return SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

OpOutcome ReadQword(const JudgedKey& key, const Text& name, uint64_t& out) {
  return QueryNumber(key, name, REG_QWORD, out);
}

OpOutcome WriteQword(const JudgedKey& key, const Text& name, uint64_t value) {
  return SetValue(key, name, REG_QWORD, &value, sizeof(value));
}

OpOutcome DeleteValue(const JudgedKey& key, const Text& name) {
  const OpenedKey opened = OpenKey(key, KEY_WRITE);
  if (!opened.handle) return Failed(opened.error, OpStep::Open);
  return Done(RegDeleteValueW(opened.handle.get(), WidePtr(name)));
}

OpOutcome DeleteKey(const JudgedKey& key) { return Done(RegDeleteKeyW(HiveRoot(key.hive()), WidePtr(key.key()))); }

OpOutcome DeleteKeyTree(const JudgedKey& key) {
  {
    const OpenedKey opened = OpenKey(key, KEY_ALL_ACCESS);
    if (!opened.handle) return Failed(opened.error, OpStep::Open);
    const LSTATUS rc = RegDeleteTreeW(opened.handle.get(), nullptr);
    if (rc != ERROR_SUCCESS) return Done(rc);
  }
  // The key is empty now; a failure here (say, it vanished meanwhile) does not undo that.
  RegDeleteKeyW(HiveRoot(key.hive()), WidePtr(key.key()));
  return Succeeded;
}

OpOutcome KeyExists(const JudgedKey& key) {
  const OpenedKey opened = OpenKey(key, KEY_READ);
  return Failed(opened.error, OpStep::Open);
}

// Hands each name that `enumerate` (RegEnumKeyExW or RegEnumValueW) yields for the judged
// key, in the system's order, to `take` with the open key. Any enumeration error, not only
// the end, closes the list with what was gathered.
template <class Enumerate, class Take>
OpOutcome ForEachName(const JudgedKey& key, DWORD nameUnits, Enumerate enumerate, Take take) {
  const OpenedKey opened = OpenKey(key, KEY_READ);
  if (!opened.handle) return Failed(opened.error, OpStep::Open);
  std::vector<wchar_t> name(nameUnits);
  for (DWORD index = 0;; ++index) {
    DWORD length = nameUnits;
    if (enumerate(opened.handle.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    take(opened.handle.get(), FromWide(name.data(), length));
  }
  return Succeeded;
}

OpOutcome ListSubkeys(const JudgedKey& key, std::vector<Text>& names) {
  names.clear();
  return ForEachName(key, SubkeyNameUnits, RegEnumKeyExW,
                     [&names](HKEY, Text name) { names.push_back(std::move(name)); });
}

OpOutcome ListValues(const JudgedKey& key, std::vector<Text>& namesAndData) {
  namesAndData.clear();
  return ForEachName(key, ValueNameUnits, RegEnumValueW, [&namesAndData](HKEY k, Text valueName) {
    // Values that are not strings, or cannot be read, are listed with empty data.
    Text data;
    QueryStringValue(k, valueName, data);
    namesAndData.push_back(std::move(valueName));
    namesAndData.push_back(std::move(data));
  });
}

OpOutcome CopyKeyTree(const JudgedKey& source, const JudgedKey& destination) {
  if (source.hive() != destination.hive()) return Done(ERROR_INVALID_PARAMETER);
  const Text& from = source.key();
  const Text& to = destination.key();
  // A destination below the source would be copied into itself without end. Key names
  // compare case-insensitively, as the registry compares them.
  if (to.size() > from.size() && to[from.size()] == u'\\' &&
      CompareStringOrdinal(WidePtr(to), static_cast<int>(from.size()), WidePtr(from), static_cast<int>(from.size()),
                           TRUE) == CSTR_EQUAL) {
    return Done(ERROR_INVALID_PARAMETER);
  }
  const OpenedKey sourceKey = OpenKey(source, KEY_READ);
  if (!sourceKey.handle) return Failed(sourceKey.error, OpStep::Open);
  UniqueRegKey destinationKey;
  DWORD disposition = 0;
  const LSTATUS opened = RegCreateKeyExW(HiveRoot(destination.hive()), WidePtr(to), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, destinationKey.put(), &disposition);
  if (opened != ERROR_SUCCESS) return Failed(opened, OpStep::Open);
  const LSTATUS rc = RegCopyTreeW(sourceKey.handle.get(), nullptr, destinationKey.get());
  // A copy that stops part-way into a key it made takes that key away again; one into a key
  // that stood before keeps what it merged so far (the registry has no step to undo it).
  if (rc != ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY) {
    RegDeleteTreeW(destinationKey.get(), nullptr);
    destinationKey.reset();
    RegDeleteKeyW(HiveRoot(destination.hive()), WidePtr(to));
  }
  return Done(rc);
}

}  // namespace tarnvel::registry
