// SPDX-License-Identifier: Apache-2.0
#include "requests/file_ops_win.h"

#include <windows.h>
#include <aclapi.h>
#include <ntsecapi.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/debug_line.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "base/hex.h"
#include "base/protocol.h"
#include "policy/normalise.h"
#include "requests/path_policy.h"

namespace tarnvel::requests {

namespace {

// A failed step with the error the system left; a failure that left none still fails.
OpOutcome Failure(OpStep step) {
  const DWORD error = GetLastError();
  return OpOutcome{error != ERROR_SUCCESS ? static_cast<int32_t>(error) : ErrorGenFailure, step};
}
OpOutcome Outcome(bool done) { return done ? OpOutcome{} : Failure(OpStep::Act); }

// One open and one size query; the read follows in the reply's source.
OpOutcome OpenForRead(const Text& path, uint32_t maxBytes, UniqueHandle& file, uint32_t& size) {
  UniqueHandle opened(CreateFileW(WidePtr(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!opened) return Failure(OpStep::Open);
  LARGE_INTEGER length;
  if (!GetFileSizeEx(opened.get(), &length)) return Failure(OpStep::Open);
  if (length.QuadPart < 0 || length.QuadPart > LONGLONG{maxBytes}) return OpOutcome{ErrorFileTooLarge, OpStep::Open};
  size = static_cast<uint32_t>(length.QuadPart);
  file = std::move(opened);
  return OpOutcome{};
}

// Each WriteFile at most this much, so that a size never exceeds what a DWORD holds.
constexpr size_t WriteChunkBytes = 1048576;

// The attributes of a file on a disk; false for a device, pipe or folder. Asked apart from the
// file's identity on purpose: the identity names the volume, which Wine asks its mount
// manager for (about 0.7 ms a call, against 3 us for the attributes).
bool DiskFileAttributes(HANDLE file, DWORD& attributes) {
  FILE_BASIC_INFO basic{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  attributes = basic.FileAttributes;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsDiskFileHandle(HANDLE file) {
  DWORD attributes = 0;
  return DiskFileAttributes(file, attributes);
}

// Every folder level of an export destination; the drive root ("C:\") is skipped and only
// '\' separates. Failures (folders that exist already) are harmless and ignored.
void CreateExportDirectories(const Text& destination) {
  const size_t last = destination.rfind(u'\\');
  if (last == Text::npos || last <= 2) return;
  const Text parent = destination.substr(0, last);
  for (size_t i = 3; i < parent.size(); ++i) {
    if (parent[i] == u'\\') CreateDirectoryW(WidePtr(parent.substr(0, i)), nullptr);
  }
  CreateDirectoryW(WidePtr(parent), nullptr);
}

}  // namespace

// A copy that "succeeded" into a device (NUL swallows it) wrote no file: success is only
// what a disk file, not a folder, shows afterwards.
bool IsOrdinaryDiskFile(const Text& path) {
  UniqueHandle file(CreateFileW(WidePtr(path), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  return file && IsDiskFileHandle(file.get());
}

namespace {

bool Exists(const Text& path) { return GetFileAttributesW(WidePtr(path)) != INVALID_FILE_ATTRIBUTES; }

// Where a handle really is, every junction, symbolic link and other redirection on the way
// resolved, in the form the checks judge ("C:\...", "\server\share\..."); empty when the
// system cannot tell.
Text FinalPathOf(HANDLE file) {
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
  if (needed == 0) return Text();
  std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1, L'\0');
  const DWORD written = GetFinalPathNameByHandleW(file, buffer.data(), needed + 1, flags);
  if (written == 0 || written > needed) return Text();
  Text path = FromWide(buffer.data(), written);
  if (StartsWith(path, u"\\\\?\\UNC\\")) return u"\\\\" + path.substr(8);
  if (StartsWith(path, u"\\\\?\\")) return path.substr(4);
  return path;
}

// The opened file is the one the copy's check judged inside the temporary folder: a plug-in
// may place junctions and links there, and the act must not follow one out. Links above the
// folder (a profile moved by the system) are the system's own, so the folder is compared as
// it resolves, and what lies below it as it was judged.
bool ReachedJudgedPath(HANDLE file, const JudgedCopy& copy, const Text& remainder) {
  UniqueHandle folder(CreateFileW(WidePtr(copy.tempFolder()), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return false;
  const Text folderNow = FinalPathOf(folder.get());
  const Text fileNow = FinalPathOf(file);
  if (folderNow.empty() || fileNow.empty()) return false;
  return NormaliseForPolicy(fileNow) == NormaliseForPolicy(folderNow) + remainder;
}
bool ReachedJudgedPath(HANDLE file, const JudgedCopy& copy) {
  return ReachedJudgedPath(file, copy, copy.remainderBelowTemp());
}

// A hard link gives one file several names: the judged name may be one of them while the
// same data is also a file elsewhere. Only a file with a single name is touched.
bool HasOtherNames(HANDLE file) {
  FILE_STANDARD_INFO info{};
  return !GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) || info.NumberOfLinks != 1;
}

// Copies the whole of `from` (from its start) over the contents of `to`.
bool CopyContents(HANDLE from, HANDLE to) {
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(from, zero, nullptr, FILE_BEGIN) || !SetFilePointerEx(to, zero, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(to)) {
    return false;
  }
  std::vector<uint8_t> chunk(WriteChunkBytes);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) return false;
    if (got == 0) return true;
    DWORD put = 0;
    if (!WriteFile(to, chunk.data(), got, &put, nullptr) || put != got) return false;
  }
}

// Identification level only: a pipe server reached despite the policy cannot act as us.
UniqueHandle OpenSourceFile(const Text& path) {
  return UniqueHandle(CreateFileW(WidePtr(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
}

// A file this act created and must not leave behind.
void DeleteOpened(HANDLE file) {
  FILE_DISPOSITION_INFO dispose{TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
}

// The copy-in source as opened, not as named: a disk file with one name, reached at an
// ordinary path whose long name (8.3 aliases and links resolved) has the judged extension.
bool SourceIsAsJudged(HANDLE file, const JudgedCopy& copy) {
  return IsDiskFileHandle(file) && !HasOtherNames(file) && IsCopyInSourceAsJudged(FinalPathOf(file), copy.source());
}

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The prefix and suffix of every file the broker writes before putting it in place.
constexpr char16_t ReplacementPrefix[] = u"~tarnvel-";
constexpr char16_t ReplacementSuffix[] = u".tmp";

// "~tarnvel-<16 hex digits>.tmp": the broker's own at a glance, and unpredictable, so that
// no one can take the name first and make the act fail.
Text ReplacementLeaf() {
  static volatile LONG counter = 0;
  uint64_t bits = 0;
  if (!RtlGenRandom(&bits, sizeof bits)) {
    bits = (uint64_t{GetCurrentProcessId()} << 32) ^ GetTickCount64() * 0x9e3779b97f4a7c15ull;
  }
  bits ^= static_cast<uint64_t>(InterlockedIncrement(&counter));
  Text leaf = ReplacementPrefix;
  for (int shift = 60; shift >= 0; shift -= 4)
    leaf.push_back(static_cast<char16_t>("0123456789abcdef"[(bits >> shift) & 15]));
  return leaf + ReplacementSuffix;
}

// One file, whatever it is called now.
struct FileIdentity {
  DWORD volume = 0;
  DWORD high = 0;
  DWORD low = 0;
  bool operator==(const FileIdentity& o) const { return volume == o.volume && high == o.high && low == o.low; }
};

bool IdentityOf(HANDLE file, FileIdentity& out) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  out = FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

struct LocalMemoryTraits {
  using Type = HLOCAL;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::LocalFree(h); }
};

// The replaced file's access rules go to its replacement, as a replacement in place keeps
// them; rules it only inherited are inherited afresh.
bool CopyAccessRules(HANDLE from, HANDLE to) {
  PACL rules = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &rules, nullptr, &raw) !=
      ERROR_SUCCESS) {
    return false;
  }
  const UniqueResource<LocalMemoryTraits> descriptor(raw);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(raw, &control, &revision)) return false;
  const SECURITY_INFORMATION which =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  return SetSecurityInfo(to, SE_FILE_OBJECT, which, nullptr, nullptr, rules, nullptr) == ERROR_SUCCESS;
}

// The attributes a replacement takes over from the file it replaces.
constexpr DWORD KeptAttributes =
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

enum class Attributes { KeepReplaced, Plain };

// A file put in place whole. Its bytes go to a fresh file beside the destination, which is
// flushed and then moved over the destination in one step, so that the destination is
// always either the old file or the new one, also after a full disk or a death. Until the
// move, every way out removes the fresh file and leaves the destination as it was.
//
// Not ReplaceFileW: Wine's moves the old file aside and deletes it before it moves the new
// one in (a death between the two leaves neither), deletes the target of a link it
// replaces, and moves a folder aside. A move with replacement is one rename on both
// systems; the attributes and access rules ReplaceFileW would keep are copied first.
class Replacement {
 public:
  explicit Replacement(Text destination) : destination_(std::move(destination)) {}
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement() { Discard(); }

  // Opens what stands at the destination (as a write would reach it, links followed) and
  // creates the fresh file in the destination's folder.
  bool Begin() {
    old_.reset(CreateFileW(WidePtr(destination_), FILE_READ_ATTRIBUTES | READ_CONTROL, ShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!old_) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
    }
    replacing_ = old_.valid();
    const size_t slash = destination_.rfind(u'\\');
    if (slash == Text::npos) return false;
    for (int attempt = 0; attempt < 4 && !file_; ++attempt) {
      leaf_ = ReplacementLeaf();
      name_ = destination_.substr(0, slash + 1) + leaf_;
      // CREATE_NEW never opens what exists, not even through a link planted under the name:
      // the file open here is one this act made, and the only one it may remove.
      file_.reset(CreateFileW(WidePtr(name_), GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
      if (!file_ && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    if (!file_) return false;
    created_ = true;
    return IdentityOf(file_.get(), identity_) && IsDiskFileHandle(file_.get());
  }

  HANDLE file() const { return file_.get(); }
  // What stood at the destination; null when nothing did.
  HANDLE replaced() const { return old_ ? old_.get() : nullptr; }
  // The fresh file's name, in the destination's folder.
  const Text& leaf() const { return leaf_; }

  // Flushes the fresh file, gives it what the replaced file keeps, and moves it over the
  // destination without returning before the move is on disk.
  bool Place(Attributes attributes) {
    if (!FlushFileBuffers(file_.get())) return false;
    DWORD kept = 0;
    if (old_) {
      DWORD replaced = 0;
      if (!DiskFileAttributes(old_.get(), replaced)) return false;
      // Windows refuses to replace a read-only file; Wine, as root, would replace it.
      if (replaced & FILE_ATTRIBUTE_READONLY) return false;
      if (!CopyAccessRules(old_.get(), file_.get())) return false;
      if (attributes == Attributes::KeepReplaced) kept = replaced & KeptAttributes;
    }
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(file_.get(), FileBasicInfo, &basic, sizeof basic)) return false;
    // Neither may stay open: a file held open is not replaced, nor moved, on Windows.
    old_.reset();
    file_.reset();
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replacing_ ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!MoveFileExW(WidePtr(name_), WidePtr(destination_), flags)) return false;
    created_ = false;
    return true;
  }

  // After Place: the destination, opened anew, is the very file written here.
  bool Confirm(UniqueHandle& placed) const {
    placed.reset(CreateFileW(WidePtr(destination_), FILE_READ_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    FileIdentity now;
    return placed && IsDiskFileHandle(placed.get()) && IdentityOf(placed.get(), now) && now == identity_;
  }

 private:
  void Discard() {
    if (!created_) return;
    created_ = false;
    if (!file_) {
      // Closed for the move: removed under its name only if that is still the file made here.
      file_.reset(CreateFileW(WidePtr(name_), DELETE | FILE_READ_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      FileIdentity now;
      if (!file_ || !IdentityOf(file_.get(), now) || !(now == identity_)) {
        file_.reset();
        return;
      }
    }
    DeleteOpened(file_.get());
    file_.reset();
  }

  Text destination_;
  Text name_;
  Text leaf_;
  UniqueHandle old_;
  UniqueHandle file_;
  FileIdentity identity_;
  bool replacing_ = false;
  bool created_ = false;
};

// The judged remainder's folder with another name in it.
Text Beside(const Text& remainder, const Text& leaf) {
  return remainder.substr(0, remainder.rfind(u'\\') + 1) + NormaliseForPolicy(leaf);
}

// The data file's bytes, written whole in chunks.
bool WriteAll(HANDLE file, const std::vector<uint8_t>& data) {
  for (size_t at = 0; at < data.size();) {
    const DWORD wanted = static_cast<DWORD>(std::min(WriteChunkBytes, data.size() - at));
    DWORD written = 0;
    if (!WriteFile(file, data.data() + at, wanted, &written, nullptr) || written != wanted) return false;
    at += wanted;
  }
  return true;
}

bool WriteFileReplacing(const Text& path, const std::vector<uint8_t>& data) {
  const size_t slash = path.rfind(u'\\');
  if (slash != Text::npos) CreateDirectoryW(WidePtr(path.substr(0, slash)), nullptr);
  Replacement replacement(path);
  UniqueHandle placed;
  return replacement.Begin() && WriteAll(replacement.file(), data) && replacement.Place(Attributes::KeepReplaced) &&
         replacement.Confirm(placed);
}

// The acts take only a judged copy, and use its very texts, never the request's raw ones:
// the paths touched are the paths judged, and the file inside the temporary folder is the
// one opened there, not one a link leads to.
OpOutcome CopyIn(const JudgedCopy& copy) {
  if (!Exists(copy.source())) return OpOutcome{ErrorFileNotFound, OpStep::Open};
  // Only a disk file is copied; it stays open (others may read, not replace or delete it)
  // until the copy is done, so the file judged a disk file is the file copied.
  UniqueHandle source = OpenSourceFile(copy.source());
  if (!source || !IsDiskFileHandle(source.get())) return Failure(OpStep::Act);
  if (!SourceIsAsJudged(source.get(), copy)) return NamedOutcome(OpNamed::NotAtJudgedPath);
  // The file replaced and the fresh one beside it both lie where the check judged, below no
  // link that leads elsewhere; a file replaced there has no other name.
  Replacement replacement(copy.destination());
  if (!replacement.Begin()) return Failure(OpStep::Act);
  const HANDLE replaced = replacement.replaced();
  if ((replaced && (!ReachedJudgedPath(replaced, copy) || HasOtherNames(replaced))) ||
      !ReachedJudgedPath(replacement.file(), copy, Beside(copy.remainderBelowTemp(), replacement.leaf()))) {
    return NamedOutcome(OpNamed::NotAtJudgedPath);
  }
  // Read-only or hidden bits must not stay on the plug-in's copy.
  if (!CopyContents(source.get(), replacement.file()) || !replacement.Place(Attributes::Plain)) {
    return Failure(OpStep::Act);
  }
  UniqueHandle placed;
  if (!replacement.Confirm(placed)) return Failure(OpStep::Act);
  if (!ReachedJudgedPath(placed.get(), copy) || HasOtherNames(placed.get()))
    return NamedOutcome(OpNamed::NotAtJudgedPath);
  return OpOutcome{};
}

OpOutcome Export(const JudgedCopy& copy) {
  if (!Exists(copy.source())) return OpOutcome{ErrorFileNotFound, OpStep::Open};
  UniqueHandle source = OpenSourceFile(copy.source());
  if (!source || !IsDiskFileHandle(source.get())) return Failure(OpStep::Act);
  if (!ReachedJudgedPath(source.get(), copy) || HasOtherNames(source.get())) {
    return NamedOutcome(OpNamed::NotAtJudgedPath);
  }
  CreateExportDirectories(copy.destination());
  // Success only for a disk file: a device (NUL swallows the bytes) writes no file.
  Replacement replacement(copy.destination());
  UniqueHandle placed;
  const bool copied = replacement.Begin() && CopyContents(source.get(), replacement.file()) &&
                      replacement.Place(Attributes::KeepReplaced) && replacement.Confirm(placed);
  return Outcome(copied);
}

// The reply text of op 14, made from the open file a piece at a time while the reply is
// written, so neither the file nor its text is ever held whole. The file stays open without
// write sharing, so nobody changes it in between; before any of the reply is written, a
// first pass reads it through to the end, so a file that cannot be read whole still answers
// NotFound, never part of its text. Only a failure that comes between the two passes loses
// the text once its reply has begun: the reply then stops unfinished.
class FileHexText final : public ipc::TextSource {
 public:
  FileHexText(UniqueHandle file, uint32_t size) : file_(std::move(file)), size_(size) {}
  uint64_t Units() const override { return uint64_t{size_} * 2; }
  bool Load() override {
    if (size_ == 0) {
      file_.reset();
      return true;
    }
    piece_.reset(new uint8_t[PieceBytes]);
    for (uint32_t left = size_, length = 0; left != 0; left -= length) {
      if (!ReadPiece(left, length)) return false;
    }
    LARGE_INTEGER start{};
    return SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) != 0;
  }
  bool Produce(uint8_t* out, size_t units) noexcept override {
    while (units != 0) {
      if (produced_ == 2 * pieceEnd_) {
        uint32_t length = 0;
        if (!ReadPiece(size_ - pieceEnd_, length)) return false;
        pieceStart_ = pieceEnd_;
        pieceEnd_ += length;
      }
      const size_t take = std::min(units, 2 * pieceEnd_ - produced_);
      EncodeHexUtf16Le(piece_.get(), produced_ - 2 * pieceStart_, take, out);
      out += 2 * take;
      units -= take;
      produced_ += take;
    }
    if (produced_ == Units()) {
      file_.reset();
      piece_.reset();
    }
    return true;
  }

 private:
  static constexpr uint32_t PieceBytes = 65536;

  // The next min(left, PieceBytes) bytes of the file into the piece; a short count is a
  // failure, as the file's size cannot change while it is open.
  bool ReadPiece(uint32_t left, uint32_t& length) {
    length = std::min(left, PieceBytes);
    DWORD read = 0;
    return ReadFile(file_.get(), piece_.get(), length, &read, nullptr) && read == length;
  }

  UniqueHandle file_;
  uint32_t size_;
  std::unique_ptr<uint8_t[]> piece_;
  size_t pieceStart_ = 0;  // the file offsets of the piece's first byte and just past its last
  size_t pieceEnd_ = 0;
  size_t produced_ = 0;  // code units so far; at most twice the row's read limit
};

}  // namespace

OpOutcome OpenAppDataFileReply(const JudgedDataPath& path, uint32_t maxBytes, ipc::ReplyBody& reply) {
  UniqueHandle file;
  uint32_t size = 0;
  const OpOutcome opened = OpenForRead(path.path(), maxBytes, file, size);
  if (opened.ok()) reply.source.reset(new FileHexText(std::move(file), size));
  return opened;
}

OpOutcome WriteAppDataFile(const JudgedDataPath& path, const std::vector<uint8_t>& data) {
  return Outcome(WriteFileReplacing(path.path(), data));
}

OpOutcome AppDataFileExists(const JudgedDataPath& path) {
  return Exists(path.path()) ? OpOutcome{} : Failure(OpStep::Open);
}

OpOutcome DeleteAppDataFile(const JudgedDataPath& path) { return Outcome(DeleteFileW(WidePtr(path.path())) != 0); }

OpOutcome CopyFileIn(const JudgedCopy& copy) { return CopyIn(copy); }

OpOutcome ExportFile(const JudgedCopy& copy) { return Export(copy); }

}  // namespace tarnvel::requests
