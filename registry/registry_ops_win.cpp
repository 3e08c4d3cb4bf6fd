// SPDX-License-Identifier: Apache-2.0
#include "registry/registry_ops.h"

#include <windows.h>

#include <vector>

#include "base/unique_handle.h"
#include "base/win_text.h"
#include "registry/key_policy.h"

namespace {

// Registry limits plus the terminator: 255 for key names, 16383 for value names.
constexpr DWORD SubkeyNameUnits = 256;
constexpr DWORD ValueNameUnits = 16384;

HKEY HiveRoot(int32_t hive) { return hive == 1 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

// The registry takes '/' as part of a name, so the key is acted on in the canonical form
// the policy judged. Nothing left of it would address the hive itself, which no
// operation may touch.
bool ResolveKey(const Text& key, Text& canonical) {
  canonical = CanonicalRegistryKey(key);
  return !canonical.empty();
}

LSTATUS OpenKey(int32_t hive, const Text& key, REGSAM access, UniqueRegKey& out) {
  HKEY raw = nullptr;
  LSTATUS rc = RegOpenKeyExW(HiveRoot(hive), WidePtr(key), 0, access, &raw);
  if (rc == ERROR_SUCCESS) out.reset(raw);
  return rc;
}

// The prelude of every operation on one key: canonical form, then open. A key that
// resolves to nothing (the hive itself) fails like a missing one.
LSTATUS OpenResolvedKey(int32_t hive, const Text& key, REGSAM access, UniqueRegKey& out) {
  Text path;
  if (!ResolveKey(key, path)) return ERROR_FILE_NOT_FOUND;
  return OpenKey(hive, path, access, out);
}

LSTATUS CreateKey(int32_t hive, const Text& key, REGSAM access, UniqueRegKey& out) {
  HKEY raw = nullptr;
  LSTATUS rc = RegCreateKeyExW(HiveRoot(hive), WidePtr(key), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &raw,
                               nullptr);
  if (rc == ERROR_SUCCESS) out.reset(raw);
  return rc;
}

// Shared by ReadString and ListValues. A value that grows between the size query and the
// read fails rather than being read again.
bool QueryStringValue(HKEY key, const Text& name, Text& out) {
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, WidePtr(name), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  // Two spare units: the stored data need not end in a NUL, and may have an odd length.
  std::vector<wchar_t> buffer(bytes / 2 + 2, L'\0');
  DWORD size = bytes;
  if (RegQueryValueExW(key, WidePtr(name), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  buffer[size / 2] = L'\0';
  out = FromWide(buffer.data());
  return true;
}

bool SetValue(int32_t hive, const Text& key, const Text& name, DWORD type, const void* data, DWORD bytes) {
  Text path;
  if (!ResolveKey(key, path)) return false;
  UniqueRegKey handle;
  if (CreateKey(hive, path, KEY_WRITE, handle) != ERROR_SUCCESS) return false;
  return RegSetValueExW(handle.get(), WidePtr(name), 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

// Only the exact type counts; a shorter stored value leaves the high bytes at 0 and a
// longer one makes the query fail.
template <typename Number>
bool QueryNumber(int32_t hive, const Text& key, const Text& name, DWORD wantedType, Number& out) {
  UniqueRegKey handle;
  if (OpenResolvedKey(hive, key, KEY_READ, handle) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  Number number = 0;
  DWORD size = sizeof(number);
  LSTATUS rc = RegQueryValueExW(handle.get(), WidePtr(name), nullptr, &type, reinterpret_cast<BYTE*>(&number), &size);
  if (rc != ERROR_SUCCESS || type != wantedType) return false;
  out = number;
  return true;
}

}  // namespace

bool ReadString(const JudgedKey& judged, const Text& name, Text& out) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  out.clear();
  UniqueRegKey handle;
  if (OpenResolvedKey(hive, key, KEY_READ, handle) != ERROR_SUCCESS) return false;
  return QueryStringValue(handle.get(), name, out);
}

bool WriteString(const JudgedKey& judged, const Text& name, const Text& data) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  // Code units plus one NUL must fit the registry's 32-bit byte count; counted in 64 bits.
  const uint64_t bytes = static_cast<uint64_t>(data.size()) * 2 + 2;
  if (bytes > MAXDWORD) return false;
  return SetValue(hive, key, name, REG_SZ, data.c_str(), static_cast<DWORD>(bytes));
}

bool ReadDword(const JudgedKey& judged, const Text& name, uint32_t& out) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  return QueryNumber(hive, key, name, REG_DWORD, out);
}

bool WriteDword(const JudgedKey& judged, const Text& name, uint32_t value) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  return SetValue(hive, key, name, REG_DWORD, &value, sizeof(value));
}

bool ReadQword(const JudgedKey& judged, const Text& name, uint64_t& out) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  return QueryNumber(hive, key, name, REG_QWORD, out);
}

bool WriteQword(const JudgedKey& judged, const Text& name, uint64_t value) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  return SetValue(hive, key, name, REG_QWORD, &value, sizeof(value));
}

bool DeleteValue(const JudgedKey& judged, const Text& name) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  UniqueRegKey handle;
  if (OpenResolvedKey(hive, key, KEY_WRITE, handle) != ERROR_SUCCESS) return false;
  LSTATUS rc = RegDeleteValueW(handle.get(), WidePtr(name));
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool DeleteKey(const JudgedKey& judged) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  Text path;
  if (!ResolveKey(key, path)) return false;
  LSTATUS rc = RegDeleteKeyW(HiveRoot(hive), WidePtr(path));
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool DeleteKeyTree(const JudgedKey& judged) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  Text path;
  if (!ResolveKey(key, path)) return false;
  {
    UniqueRegKey handle;
    LSTATUS rc = OpenKey(hive, path, KEY_ALL_ACCESS, handle);
    if (rc == ERROR_FILE_NOT_FOUND) return true;
    if (rc != ERROR_SUCCESS) return false;
    if (RegDeleteTreeW(handle.get(), nullptr) != ERROR_SUCCESS) return false;
  }
  // The key is empty now; a failure here (say, it vanished meanwhile) does not undo that.
  RegDeleteKeyW(HiveRoot(hive), WidePtr(path));
  return true;
}

bool KeyExists(const JudgedKey& judged) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  UniqueRegKey handle;
  return OpenResolvedKey(hive, key, KEY_READ, handle) == ERROR_SUCCESS;
}

bool ListSubkeys(const JudgedKey& judged, std::vector<Text>& names) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  names.clear();
  UniqueRegKey handle;
  if (OpenResolvedKey(hive, key, KEY_READ, handle) != ERROR_SUCCESS) return false;
  std::vector<wchar_t> name(SubkeyNameUnits);
  // Any enumeration error, not only the end, closes the list with what was gathered.
  for (DWORD index = 0;; ++index) {
    DWORD length = SubkeyNameUnits;
    if (RegEnumKeyExW(handle.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    names.push_back(FromWide(name.data(), length));
  }
  return true;
}

bool ListValues(const JudgedKey& judged, std::vector<Text>& namesAndData) {
  if (!judged.allowed()) return false;
  const int32_t hive = judged.hive();
  const Text& key = judged.key();
  namesAndData.clear();
  UniqueRegKey handle;
  if (OpenResolvedKey(hive, key, KEY_READ, handle) != ERROR_SUCCESS) return false;
  std::vector<wchar_t> name(ValueNameUnits);
  for (DWORD index = 0;; ++index) {
    DWORD length = ValueNameUnits;
    if (RegEnumValueW(handle.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    Text valueName = FromWide(name.data(), length);
    // Values that are not strings, or cannot be read, are listed with empty data.
    Text data;
    QueryStringValue(handle.get(), valueName, data);
    namesAndData.push_back(std::move(valueName));
    namesAndData.push_back(std::move(data));
  }
  return true;
}

bool CopyKeyTree(const JudgedKey& judgedSource, const JudgedKey& judgedDestination) {
  if (!judgedSource.allowed() || !judgedDestination.allowed()) return false;
  if (judgedSource.hive() != judgedDestination.hive()) return false;
  const int32_t hive = judgedSource.hive();
  const Text& source = judgedSource.key();
  const Text& destination = judgedDestination.key();
  Text from;
  Text to;
  if (!ResolveKey(source, from) || !ResolveKey(destination, to)) return false;
  // A destination below the source would be copied into itself without end. Key names
  // compare case-insensitively, as the registry compares them.
  if (to.size() > from.size() && to[from.size()] == u'\\' &&
      CompareStringOrdinal(WidePtr(to), static_cast<int>(from.size()), WidePtr(from), static_cast<int>(from.size()),
                           TRUE) == CSTR_EQUAL) {
    return false;
  }
  UniqueRegKey sourceKey;
  if (OpenKey(hive, from, KEY_READ, sourceKey) != ERROR_SUCCESS) return false;
  UniqueRegKey destinationKey;
  if (CreateKey(hive, to, KEY_ALL_ACCESS, destinationKey) != ERROR_SUCCESS) return false;
  LSTATUS rc = RegCopyTreeW(sourceKey.get(), nullptr, destinationKey.get());
  destinationKey.reset();
  return rc == ERROR_SUCCESS;
}
