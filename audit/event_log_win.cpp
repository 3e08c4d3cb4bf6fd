// SPDX-License-Identifier: Apache-2.0
#include "audit/event_log_win.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"

namespace tarnvel::audit {

namespace {

std::atomic<uint32_t> gHostProcessId{0};
std::atomic<bool> gCreated{false};

// Records waiting beyond this many are dropped: a flood of refusals must not grow the
// broker's memory while the event log is slow.
constexpr size_t MaxQueuedRecords = 256;

WORD EventType(EventId id) {
  const EventInfo* info = FindEvent(id);
  return info != nullptr && info->kind == EventKind::WouldRefuse ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE;
}

class EventLogWriter final : public AuditSink {
 public:
  void Write(const AuditRecord& record) override {
    // A record that cannot be queued is dropped; the request goes on as judged.
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.size() >= MaxQueuedRecords) return;
      if (!started_) {
        started_ = true;
        // The worker lives as long as the process; its handle is not needed.
        const UniqueHandle worker(CreateThread(nullptr, 0, WorkerMain, this, 0, nullptr));
        running_ = worker.valid();
      }
      if (!running_) return;
      queue_.push_back(record);
      changed_.notify_all();
    } catch (const std::exception&) {
    }
  }

  void Flush(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    (void)changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return queue_.empty() && !writing_; });
  }

 private:
  static DWORD WINAPI WorkerMain(void* self) {
    static_cast<EventLogWriter*>(self)->Run();
    return 0;
  }

  void Run() {
    // Registered once; a source that cannot be opened leaves every write a no-op.
    const UniqueEventSource source(RegisterEventSourceW(nullptr, L"TarnvelBroker"));
    for (;;) {
      AuditRecord record;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        writing_ = false;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !queue_.empty(); });
        record = std::move(queue_.front());
        queue_.pop_front();
        writing_ = true;
      }
      if (!source) continue;
      try {
        const std::array<Text, 4> texts = RecordStrings(record, gHostProcessId.load());
        const wchar_t* strings[4] = {WidePtr(texts[0]), WidePtr(texts[1]), WidePtr(texts[2]), WidePtr(texts[3])};
        // A failed write is ignored: the refusal itself has been answered already.
        (void)ReportEventW(source.get(), EventType(record.id), 0, Code(record.id), nullptr, 4, 0, strings, nullptr);
      } catch (const std::exception&) {
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<AuditRecord> queue_;
  bool started_ = false;
  bool running_ = false;
  bool writing_ = false;
};

EventLogWriter& Writer() {
  static EventLogWriter* writer = [] {
    gCreated = true;
    return new EventLogWriter();
  }();
  return *writer;
}

}  // namespace

void SetRecordedHostProcessId(uint32_t pid) { gHostProcessId = pid; }

AuditSink& EventLog() { return Writer(); }

void FlushEventLog(DWORD timeoutMs) {
  if (gCreated) Writer().Flush(timeoutMs);
}

}  // namespace tarnvel::audit
