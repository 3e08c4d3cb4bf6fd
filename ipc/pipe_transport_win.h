// SPDX-License-Identifier: Apache-2.0
// Raw bytes over one named-pipe handle. Every operation is overlapped; all but a begun read or
// write wait for their own completion, so to its caller the transport blocks; while it waits
// it can keep the calling thread's window messages flowing. A begun read or write goes on
// while its caller decodes the bytes before it or makes the bytes after it. Message
// boundaries are not kept: the channel reassembles. Used by one thread at a time.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/overlapped_win.h"
#include "base/unique_handle_win.h"

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
  // Up to `limit` bytes (ReadBufferSize by default), whatever the pipe holds; or, when a read
  // was begun, that read's bytes (`limit` is then the begun one's). Null on failure or when
  // nothing arrived (a closed peer). The bytes stay valid until the next Read. A buffer is as
  // large as the largest limit asked since the last plain small read, which gives larger
  // ones back.
  const uint8_t* Read(size_t& count, size_t limit = ReadBufferSize);
  // Starts the next read, of up to `limit` bytes, into the other buffer: the bytes of the
  // last Read stay valid meanwhile. One begun read at a time. False, with nothing begun, when
  // it cannot start (the next Read then reads as usual).
  [[nodiscard]] bool BeginRead(size_t limit);
  // All bytes or failure; an empty write succeeds without touching the pipe.
  [[nodiscard]] bool Write(const uint8_t* bytes, size_t length);
  // Starts writing all `length` bytes, which must stay untouched until FinishWrite returns;
  // one begun write at a time, and no Write beside it. False, with nothing begun, when the
  // write cannot start.
  [[nodiscard]] bool BeginWrite(const uint8_t* bytes, size_t length);
  // Waits for the begun write: true when all its bytes were written (or none was begun).
  [[nodiscard]] bool FinishWrite();
  // Ends a begun write and read, DisconnectNamedPipe and CloseHandle; safe to call again.
  void Close();
  // Ends a begun read and gives the read buffers back.
  void ReleaseReadBuffer();

  HANDLE pipe() const { return pipe_.valid() ? pipe_.get() : INVALID_HANDLE_VALUE; }
  bool pumpMessages() const { return pumpMessages_; }
  void SetPumpMessages(bool pump) { pumpMessages_ = pump; }

 private:
  struct Buffer {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
  };
  // A begun operation: its record stays with the transport, as does its event, so an
  // operation costs no event of its own.
  struct Pending {
    std::unique_ptr<OverlappedOperation> operation;
    bool begun = false;
    bool inFlight = false;  // the system still holds the record and the bytes
    DWORD atOnce = 0;       // what an operation that completed at once transferred
  };

  bool WaitForIo(OVERLAPPED& overlapped, DWORD& transferred);
  OVERLAPPED* Record(Pending& pending);
  [[nodiscard]] bool Finish(Pending& pending, DWORD& transferred);
  void Abandon(Pending& pending);
  bool Fit(Buffer& buffer, size_t size);

  UniqueHandle pipe_;
  bool pumpMessages_ = false;
  Buffer buffers_[2];
  size_t current_ = 0;  // the buffer the last Read handed out
  Pending read_;
  Pending write_;
  const uint8_t* writeBytes_ = nullptr;
  size_t writeLength_ = 0;
};
