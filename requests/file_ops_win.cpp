// SPDX-License-Identifier: Apache-2.0
#include "requests/file_ops_win.h"

#include <windows.h>

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
#include "policy/normalise.h"
#include "requests/path_policy.h"

namespace tarnvel::requests {

namespace {

constexpr LONGLONG MaxReadFileSize = 0x400000;

// One open and one size query; the read follows in ReadInto.
bool OpenForRead(const Text& path, UniqueHandle& file, uint32_t& size) {
  UniqueHandle opened(CreateFileW(WidePtr(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!opened) return false;
  LARGE_INTEGER length;
  if (!GetFileSizeEx(opened.get(), &length) || length.QuadPart < 0 || length.QuadPart > MaxReadFileSize) return false;
  size = static_cast<uint32_t>(length.QuadPart);
  file = std::move(opened);
  return true;
}

// One read of exactly `size` bytes: the caller gets the whole file or nothing.
bool ReadExactly(HANDLE file, uint8_t* out, uint32_t size) {
  if (size == 0) return true;
  DWORD read = 0;
  return ReadFile(file, out, size, &read, nullptr) && read == size;
}

// The "<target>.tmp" file of one write. Until Commit() moves it over the target, leaving
// the scope closes and deletes it, so no failure (or exception) leaves it behind.
class TemporaryFile {
 public:
  explicit TemporaryFile(Text name) : name_(std::move(name)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() { Discard(); }

  // Only a file this write created is ever deleted: a failed create leaves nothing to remove.
  bool Create() {
    file_.reset(CreateFileW(WidePtr(name_), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    created_ = file_.valid();
    return created_;
  }
  HANDLE get() const { return file_.get(); }

  bool Commit(const Text& target) {
    file_.reset();
    if (!MoveFileExW(WidePtr(name_), WidePtr(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return false;
    created_ = false;
    return true;
  }

 private:
  void Discard() {
    // Closed first: with share mode 0 our own open handle would block the delete.
    file_.reset();
    if (created_) DeleteFileW(WidePtr(name_));
    created_ = false;
  }

  Text name_;
  UniqueHandle file_;
  bool created_ = false;
};

// Each WriteFile at most this much, so that a size never exceeds what a DWORD holds.
constexpr size_t WriteChunkBytes = 1048576;

// The target is either left as it was or replaced whole; readers never see half a file.
bool WriteFileReplacing(const Text& path, const std::vector<uint8_t>& data) {
  const size_t slash = path.rfind(u'\\');
  if (slash != Text::npos) CreateDirectoryW(WidePtr(path.substr(0, slash)), nullptr);

  TemporaryFile temporary(path + u".tmp");
  if (!temporary.Create()) return false;
  for (size_t at = 0; at < data.size();) {
    const DWORD wanted = static_cast<DWORD>(std::min(WriteChunkBytes, data.size() - at));
    DWORD written = 0;
    if (!WriteFile(temporary.get(), data.data() + at, wanted, &written, nullptr) || written != wanted) return false;
    at += wanted;
  }
  if (!FlushFileBuffers(temporary.get())) return false;
  return temporary.Commit(path);
}

// A file on a disk: not a device, pipe or folder.
bool IsDiskFileHandle(HANDLE file) {
  if (GetFileType(file) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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
bool ReachedJudgedPath(HANDLE file, const JudgedCopy& copy) {
  UniqueHandle folder(CreateFileW(WidePtr(copy.tempFolder()), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return false;
  const Text folderNow = FinalPathOf(folder.get());
  const Text fileNow = FinalPathOf(file);
  if (folderNow.empty() || fileNow.empty()) return false;
  return NormaliseForPolicy(fileNow) == NormaliseForPolicy(folderNow) + copy.remainderBelowTemp();
}

// A hard link gives one file several names: the judged name may be one of them while the
// same data is also a file elsewhere. Only a file with a single name is touched.
bool HasOtherNames(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return !GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1;
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

// The acts take only a judged copy, and use its very texts, never the request's raw ones:
// the paths touched are the paths judged, and the file inside the temporary folder is the
// one opened there, not one a link leads to.
CopyOutcome CopyIn(const JudgedCopy& copy) {
  if (!Exists(copy.source())) return CopyOutcome::SourceMissing;
  // Only a disk file is copied; it stays open (others may read, not replace or delete it)
  // until the copy is done, so the file judged a disk file is the file copied.
  UniqueHandle source = OpenSourceFile(copy.source());
  if (!source || !IsDiskFileHandle(source.get())) return CopyOutcome::Failed;
  if (!SourceIsAsJudged(source.get(), copy)) return CopyOutcome::NotAtJudgedPath;
  // Opened without truncating: a destination that turns out to lie elsewhere is left as it was.
  UniqueHandle destination(CreateFileW(WidePtr(copy.destination()), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!destination) return CopyOutcome::Failed;
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  if (!ReachedJudgedPath(destination.get(), copy) || HasOtherNames(destination.get())) {
    if (created) DeleteOpened(destination.get());
    return CopyOutcome::NotAtJudgedPath;
  }
  if (!IsDiskFileHandle(destination.get()) || !CopyContents(source.get(), destination.get())) {
    if (created) DeleteOpened(destination.get());
    return CopyOutcome::Failed;
  }
  // Read-only or hidden bits must not stay on the plug-in's copy.
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  SetFileInformationByHandle(destination.get(), FileBasicInfo, &basic, sizeof basic);
  return CopyOutcome::Copied;
}

CopyOutcome Export(const JudgedCopy& copy) {
  if (!Exists(copy.source())) return CopyOutcome::SourceMissing;
  UniqueHandle source = OpenSourceFile(copy.source());
  if (!source || !IsDiskFileHandle(source.get())) return CopyOutcome::Failed;
  if (!ReachedJudgedPath(source.get(), copy) || HasOtherNames(source.get())) {
    return CopyOutcome::NotAtJudgedPath;
  }
  CreateExportDirectories(copy.destination());
  UniqueHandle destination(CreateFileW(WidePtr(copy.destination()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                       nullptr));
  // Success only for a disk file: a device (NUL swallows the bytes) writes no file.
  if (!destination || !IsDiskFileHandle(destination.get())) return CopyOutcome::Failed;
  return CopyContents(source.get(), destination.get()) ? CopyOutcome::Copied : CopyOutcome::Failed;
}

// The reply text of op 14: the open file, read whole into a buffer of its size before any of
// the reply is written (a file that cannot be read whole answers NotFound, never part of
// its text), then produced as hexadecimal piece by piece while the reply is written. The
// bytes are given back as soon as the last of their text is produced.
class FileHexText final : public ipc::TextSource {
 public:
  FileHexText(UniqueHandle file, uint32_t size) : file_(std::move(file)), size_(size) {}
  uint64_t Units() const override { return uint64_t{size_} * 2; }
  bool Load() override {
    // Every byte is written by the read: no zero-fill first.
    if (size_ != 0) bytes_.reset(new uint8_t[size_]);
    const bool read = ReadExactly(file_.get(), bytes_.get(), size_);
    file_.reset();
    if (!read) bytes_.reset();
    return read;
  }
  void Produce(uint8_t* out, size_t units) noexcept override {
    EncodeHexUtf16Le(bytes_.get(), produced_, units, out);
    produced_ += units;
    if (produced_ == Units()) bytes_.reset();
  }
  // As for a file that could not be opened.
  int32_t unfilledStatus() const override { return static_cast<int32_t>(RequestStatus::NotFound); }

 private:
  UniqueHandle file_;
  uint32_t size_;
  std::unique_ptr<uint8_t[]> bytes_;
  size_t produced_ = 0;  // code units so far; at most 2 * MaxReadFileSize
};

}  // namespace

RequestStatus OpenAppDataFileReply(const JudgedDataPath& path, ipc::ReplyBody& reply) {
  UniqueHandle file;
  uint32_t size = 0;
  if (!OpenForRead(path.path(), file, size)) return RequestStatus::NotFound;
  reply.source.reset(new FileHexText(std::move(file), size));
  return RequestStatus::Success;
}

RequestStatus WriteAppDataFile(const JudgedDataPath& path, const std::vector<uint8_t>& data) {
  return WriteFileReplacing(path.path(), data) ? RequestStatus::Success : RequestStatus::Failed;
}

RequestStatus AppDataFileExists(const JudgedDataPath& path) {
  return Exists(path.path()) ? RequestStatus::Success : RequestStatus::NotFound;
}

RequestStatus DeleteAppDataFile(const JudgedDataPath& path) {
  if (DeleteFileW(WidePtr(path.path())) || GetLastError() == ERROR_FILE_NOT_FOUND) return RequestStatus::Success;
  return RequestStatus::Failed;
}

CopyOutcome CopyFileIn(const JudgedCopy& copy) { return CopyIn(copy); }

CopyOutcome ExportFile(const JudgedCopy& copy) { return Export(copy); }

}  // namespace tarnvel::requests
