// SPDX-License-Identifier: Apache-2.0
#include "ipc/pipe_transport_win.h"

#include <algorithm>

#include "base/message_wait_win.h"
#include "base/overlapped_win.h"

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

const uint8_t* PipeTransportWithMessagePump::Read(size_t& count) {
  readBuffer_.resize(ReadBufferSize);
  count = 0;
  if (!pipe_.valid()) return nullptr;
  OverlappedOperation operation;
  if (!operation.valid()) return nullptr;
  OVERLAPPED& overlapped = operation.record();
  DWORD got = 0;
  if (!ReadFile(pipe_.get(), readBuffer_.data(), static_cast<DWORD>(ReadBufferSize), &got, &overlapped)) {
    if (GetLastError() != ERROR_IO_PENDING || !WaitForIo(overlapped, got)) return nullptr;
  }
  count = got;
  return got != 0 ? readBuffer_.data() : nullptr;
}

bool PipeTransportWithMessagePump::Write(const uint8_t* bytes, size_t length) {
  if (!pipe_.valid()) return false;
  while (length != 0) {
    OverlappedOperation operation;
    if (!operation.valid()) return false;
    OVERLAPPED& overlapped = operation.record();
    const DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(length, MAXDWORD));
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), bytes, chunk, &written, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING || !WaitForIo(overlapped, written)) return false;
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

void PipeTransportWithMessagePump::ReleaseReadBuffer() { std::vector<uint8_t>().swap(readBuffer_); }

bool PipeTransportWithMessagePump::WaitForIo(OVERLAPPED& overlapped, DWORD& transferred) {
  const bool completed = pumpMessages_ ? WaitPumpingMessages(&overlapped.hEvent, 1) == 0
                                       : WaitForSingleObject(overlapped.hEvent, INFINITE) == WAIT_OBJECT_0;
  if (!completed) {
    // The record and its event die with this operation: the I/O must be over first.
    CancelIoEx(pipe_.get(), &overlapped);
    GetOverlappedResult(pipe_.get(), &overlapped, &transferred, TRUE);
    transferred = 0;
    return false;
  }
  return GetOverlappedResult(pipe_.get(), &overlapped, &transferred, FALSE) != FALSE;
}
