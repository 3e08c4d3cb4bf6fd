// SPDX-License-Identifier: Apache-2.0
#include "ipc/pipe_transport_win.h"

#include <algorithm>
#include <new>

namespace tarnvel::ipc {

bool IsSolePipeInstance(HANDLE serverEnd) {
  DWORD maxInstances = 0;
  DWORD curInstances = 0;
  if (!GetNamedPipeInfo(serverEnd, nullptr, nullptr, nullptr, &maxInstances)) return false;
  if (!GetNamedPipeHandleStateW(serverEnd, nullptr, &curInstances, nullptr, nullptr, nullptr, 0)) return false;
  return maxInstances == 1 && curInstances == 1;
}

PipeTransportWithMessagePump::~PipeTransportWithMessagePump() {
  ReleaseReadBuffer();
  Close();
}

bool PipeTransportWithMessagePump::Open(HANDLE pipe, bool connect) {
  if (pipe != pipe_.get()) {
    Close();
    pipe_.reset(pipe);
  }
  if (!pipe_.valid()) return false;
  if (!connect) return true;

  OverlappedOperation operation;
  if (!operation.valid()) return false;
  OVERLAPPED& overlapped = operation.record();
  if (ConnectNamedPipe(pipe_.get(), &overlapped)) return true;
  switch (GetLastError()) {
    case ERROR_PIPE_CONNECTED:
      // The client came first; the event is never signalled in this case.
      return true;
    case ERROR_NO_DATA:
      // The client came first and has already closed its end: the connection was made,
      // and the first read will see it end.
      return true;
    case ERROR_IO_PENDING: {
      DWORD ignored = 0;
      return WaitForIo(overlapped, ignored);
    }
    default:
      return false;
  }
}

bool PipeTransportWithMessagePump::Adopt(HANDLE pipe) {
  if (pipe != pipe_.get()) {
    Close();
    pipe_.reset(pipe);
  }
  return pipe_.valid();
}

const uint8_t* PipeTransportWithMessagePump::Read(size_t& count, size_t limit) {
  count = 0;
  const size_t size = std::max(std::min<size_t>(limit, MAXDWORD), ReadBufferSize);
  if (readBufferSize_ < size || (size == ReadBufferSize && readBufferSize_ != size)) {
    // Every byte handed out is one the read wrote: no zero-fill first.
    ReleaseReadBuffer();
    readBuffer_.reset(new (std::nothrow) uint8_t[size]);
    if (!readBuffer_) return nullptr;
    readBufferSize_ = size;
  }
  if (!pipe_.valid()) return nullptr;
  OVERLAPPED* overlapped = Record(read_);
  if (overlapped == nullptr) return nullptr;
  const DWORD asked = static_cast<DWORD>(std::max<size_t>(std::min(limit, size), 1));
  DWORD got = 0;
  if (!ReadFile(pipe_.get(), readBuffer_.get(), asked, &got, overlapped)) {
    if (GetLastError() != ERROR_IO_PENDING || !WaitForIo(*overlapped, got)) return nullptr;
  }
  count = got;
  return got != 0 ? readBuffer_.get() : nullptr;
}

bool PipeTransportWithMessagePump::Write(const uint8_t* bytes, size_t length) {
  if (!pipe_.valid()) return false;
  while (length != 0) {
    OVERLAPPED* overlapped = Record(write_);
    if (overlapped == nullptr) return false;
    const DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(length, MAXDWORD));
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), bytes, chunk, &written, overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING || !WaitForIo(*overlapped, written)) return false;
    }
    if (written == 0) return false;
    bytes += written;
    length -= written;
  }
  return true;
}

void PipeTransportWithMessagePump::Close() {
  if (!pipe_.valid()) return;
  DisconnectNamedPipe(pipe_.get());
  pipe_.reset();
}

void PipeTransportWithMessagePump::ReleaseReadBuffer() {
  readBuffer_.reset();
  readBufferSize_ = 0;
}

// The kept record, cleared for a new operation; null when no event could be made.
OVERLAPPED* PipeTransportWithMessagePump::Record(KeptRecord& kept) {
  if (!kept) kept.reset(new (std::nothrow) OverlappedOperation());
  if (!kept || !kept->valid()) return nullptr;
  OVERLAPPED& overlapped = kept->record();
  const HANDLE event = overlapped.hEvent;
  overlapped = OVERLAPPED{};
  overlapped.hEvent = event;
  return &overlapped;
}

bool PipeTransportWithMessagePump::WaitForIo(OVERLAPPED& overlapped, DWORD& transferred) {
  return WaitForOverlapped(pipe_.get(), overlapped, INFINITE, pumpMessages_, transferred) == OverlappedEnd::Completed;
}

}  // namespace tarnvel::ipc
