// SPDX-License-Identifier: Apache-2.0
// An in-memory stand-in for the pipe transport: hands out scripted chunks of incoming
// bytes one per Read, or as much of one as the read's limit allows, as a pipe does (null
// once they run out, like a closed peer), and records every write.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

class MemoryTransport {
 public:
  // One Read returns exactly this chunk; an empty chunk reads like a zero-byte read.
  void QueueChunk(std::vector<uint8_t> chunk) { incoming_.push_back(std::move(chunk)); }
  void QueueChunk(const uint8_t* bytes, size_t count) { incoming_.emplace_back(bytes, bytes + count); }
  // Queues the bytes in chunks of `size` bytes (the last one may be shorter).
  void QueueSplit(const std::vector<uint8_t>& bytes, size_t size) {
    for (size_t at = 0; at < bytes.size(); at += size) {
      const size_t n = bytes.size() - at < size ? bytes.size() - at : size;
      QueueChunk(bytes.data() + at, n);
    }
  }

  const uint8_t* Read(size_t& count, size_t limit = 4096) {
    ++reads_;
    readLimits_.push_back(limit);
    count = 0;
    if (incoming_.empty()) return nullptr;
    std::vector<uint8_t>& next = incoming_.front();
    if (limit != 0 && next.size() > limit) {
      current_.assign(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(limit));
      next.erase(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(limit));
    } else {
      current_ = std::move(next);
      incoming_.pop_front();
    }
    count = current_.size();
    return current_.empty() ? nullptr : current_.data();
  }

  bool Write(const uint8_t* bytes, size_t length) {
    ++writes_;
    if (onWrite_) onWrite_();
    if (failWrites_) return false;
    written_.insert(written_.end(), bytes, bytes + length);
    writeSizes_.push_back(length);
    return true;
  }

  void SetFailWrites(bool fail) { failWrites_ = fail; }
  // Called at every Write, before it is recorded (e.g. to see how far reading had got).
  void SetOnWrite(std::function<void()> hook) { onWrite_ = std::move(hook); }

  const std::vector<uint8_t>& written() const { return written_; }
  const std::vector<size_t>& readLimits() const { return readLimits_; }
  const std::vector<size_t>& writeSizes() const { return writeSizes_; }
  size_t reads() const { return reads_; }
  size_t writes() const { return writes_; }
  size_t pendingChunks() const { return incoming_.size(); }

 private:
  std::deque<std::vector<uint8_t>> incoming_;
  std::vector<uint8_t> current_;
  std::vector<uint8_t> written_;
  std::vector<size_t> writeSizes_;
  std::vector<size_t> readLimits_;
  std::function<void()> onWrite_;
  size_t reads_ = 0;
  size_t writes_ = 0;
  bool failWrites_ = false;
};
