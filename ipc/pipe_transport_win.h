// SPDX-License-Identifier: Apache-2.0
// Raw bytes over one named-pipe handle. Every operation is overlapped but waits for its own
// completion, so to its caller the transport blocks; while it waits it can keep the calling
// thread's window messages flowing. Message boundaries are not kept: the channel reassembles.
// Used by one thread at a time.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/overlapped_win.h"
#include "base/unique_handle_win.h"

namespace tarnvel::ipc {

// The server end is the name's one and only instance. A process that created the name first
// with more instances gets no refusal on every system (the first-instance flag is not
// enforced everywhere), and a client of the name could then reach it instead; the name's
// instance limit and count say so. Asked before anyone connects.
[[nodiscard]] bool IsSolePipeInstance(HANDLE serverEnd);

class PipeTransportWithMessagePump {
 public:
  // The read buffer's size when no more is asked, and the most a plain Read brings.
  static constexpr size_t ReadBufferSize = 4096;

  PipeTransportWithMessagePump() = default;
  ~PipeTransportWithMessagePump();
  PipeTransportWithMessagePump(const PipeTransportWithMessagePump&) = delete;
  PipeTransportWithMessagePump& operator=(const PipeTransportWithMessagePump&) = delete;

  // Takes the handle (even when accepting fails, so Close still releases it). With `connect`
  // it accepts a client on this server end; a client that came before counts as accepted.
  [[nodiscard]] bool Open(HANDLE pipe, bool connect);
  // Takes an already-connected handle without any I/O, closing the one held before.
  // Returns whether the new handle is valid.
  [[nodiscard]] bool Adopt(HANDLE pipe);
  // Up to `limit` bytes (ReadBufferSize by default), whatever the pipe holds; null on failure
  // or when nothing arrived (a closed peer). The bytes stay valid until the next Read. The
  // buffer is as large as the largest limit asked since the last read of at most
  // ReadBufferSize, which gives a larger one back.
  const uint8_t* Read(size_t& count, size_t limit = ReadBufferSize);
  // All bytes or failure; an empty write succeeds without touching the pipe.
  [[nodiscard]] bool Write(const uint8_t* bytes, size_t length);
  // DisconnectNamedPipe and CloseHandle; safe to call again.
  void Close();
  void ReleaseReadBuffer();

  HANDLE pipe() const { return pipe_.valid() ? pipe_.get() : INVALID_HANDLE_VALUE; }
  bool pumpMessages() const { return pumpMessages_; }
  void SetPumpMessages(bool pump) { pumpMessages_ = pump; }

 private:
  // An operation's record stays with the transport, as does its event, so that a read or
  // write costs no event of its own.
  using KeptRecord = std::unique_ptr<OverlappedOperation>;

  bool WaitForIo(OVERLAPPED& overlapped, DWORD& transferred);
  OVERLAPPED* Record(KeptRecord& kept);

  UniqueHandle pipe_;
  bool pumpMessages_ = false;
  std::unique_ptr<uint8_t[]> readBuffer_;
  size_t readBufferSize_ = 0;
  KeptRecord read_;
  KeptRecord write_;
};

}  // namespace tarnvel::ipc
