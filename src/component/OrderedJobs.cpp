#include "component/OrderedJobs.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "component/Messages.h"
#include "platform/utils/FileDescriptor.h"

namespace vela {

namespace {

constexpr std::size_t kPieceBytes = std::size_t{1} << 20;  // bytes handed over at once
constexpr std::size_t kLaneBytes = std::size_t{4} << 20;   // bytes an item may hold before its job waits
constexpr std::size_t kAheadPerJob = 2;                    // items a job may start past the caller's

// What a job's work meets once the caller has stopped: it ends the item.
struct Stopped {};

}  // namespace

// One item's events and bytes, in the order its work gave them.
struct OrderedJobs::Lane {
  struct Entry {
    enum class Kind { kProgress, kTableProgress, kMessage, kCorruption, kBytes } kind;
    std::int32_t value = 0;  // progress value, message buttons, the preset answer
    std::string text;        // caption, table or prompt
    std::string guid;
    std::int64_t done = 0, total = 0;
    std::vector<std::byte> bytes;
  };
  std::deque<Entry> entries;
  std::size_t bytes = 0;  // held in entries
  bool done = false;
  std::exception_ptr failure;
};

// The events of an item's work, kept in its lane.
class OrderedJobs::LaneEvents final : public CBackupEvents {
 public:
  LaneEvents(OrderedJobs& jobs, Lane& lane, class LaneBytes& bytes, bool& cancel)
      : jobs_(jobs), lane_(lane), bytes_(bytes), cancel_(cancel) {}

  void UpdateProgress(std::int32_t value, const std::string& caption) override {
    Push({Lane::Entry::Kind::kProgress, value, caption, {}, 0, 0, {}});
  }
  void ShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& guid,
                   std::int32_t& result) override {
    Push({Lane::Entry::Kind::kMessage, buttons, prompt, guid, result, 0, {}});
  }
  void DatabaseCorruptionFound() override { Push({Lane::Entry::Kind::kCorruption, 0, {}, {}, 0, 0, {}}); }
  void TableProgress(const std::string& table, std::int64_t rowsDone, std::int64_t rowsTotal) override {
    Push({Lane::Entry::Kind::kTableProgress, 0, table, {}, rowsDone, rowsTotal, {}});
  }

  void Push(Lane::Entry entry);

 private:
  OrderedJobs& jobs_;
  Lane& lane_;
  LaneBytes& bytes_;
  bool& cancel_;
};

// The bytes of an item's work, handed to its lane a piece at a time.
class OrderedJobs::LaneBytes final : public utils::ByteSink {
 public:
  LaneBytes(OrderedJobs& jobs, Lane& lane, bool& cancel) : jobs_(jobs), lane_(lane), cancel_(cancel) {}

  void Write(std::span<const std::byte> bytes) override {
    if (jobs_.stop_) {
      cancel_ = true;
      throw Stopped{};
    }
    while (!bytes.empty()) {
      if (piece_.capacity() == 0) piece_.reserve(kPieceBytes);
      const std::size_t n = std::min(bytes.size(), kPieceBytes - piece_.size());
      piece_.insert(piece_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      bytes = bytes.subspan(n);
      if (piece_.size() == kPieceBytes) Flush();
    }
  }

  // Hands over the piece being filled; waits while the lane holds its share and the caller goes on.
  void Flush() {
    if (piece_.empty()) return;
    std::unique_lock lock(jobs_.mutex_);
    jobs_.jobsWake_.wait(lock, [&] { return jobs_.stop_ || lane_.bytes < kLaneBytes; });
    if (jobs_.stop_) {
      cancel_ = true;
      throw Stopped{};
    }
    lane_.bytes += piece_.size();
    lane_.entries.push_back({Lane::Entry::Kind::kBytes, 0, {}, {}, 0, 0, std::move(piece_)});
    piece_ = {};
    jobs_.callerWake_.notify_all();
  }

 private:
  OrderedJobs& jobs_;
  Lane& lane_;
  bool& cancel_;
  std::vector<std::byte> piece_;
};

void OrderedJobs::LaneEvents::Push(Lane::Entry entry) {
  bytes_.Flush();  // the bytes written before the event come before it
  std::lock_guard lock(jobs_.mutex_);
  if (jobs_.stop_) cancel_ = true;  // the work sees the caller's stop at its next check
  lane_.entries.push_back(std::move(entry));
  jobs_.callerWake_.notify_all();
}

OrderedJobs::OrderedJobs(Operation& operation, std::size_t count, std::size_t jobs, Work work)
    : operation_(operation), work_(std::move(work)), ahead_(std::max<std::size_t>(jobs, 1) * kAheadPerJob) {
  lanes_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) lanes_.push_back(std::make_unique<Lane>());
  FileWrites* writes = utils::CurrentWrites();
  std::shared_ptr<LanguageResources> resources = GetLanguageResourcesHolder();  // the captions' language
  try {
    for (std::size_t job = 0; job < std::max<std::size_t>(jobs, 1); ++job)
      threads_.emplace_back([this, job, writes, resources] {
        utils::WritesScope scope(writes);
        SetLanguageResourcesHolder(resources);
        Run(job);
      });
  } catch (...) {
    Stop();
    throw;
  }
}

OrderedJobs::~OrderedJobs() {
  Stop();
}

void OrderedJobs::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  jobsWake_.notify_all();
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
}

void OrderedJobs::Run(std::size_t job) {
  for (;;) {
    std::size_t item = 0;
    {
      std::unique_lock lock(mutex_);
      jobsWake_.wait(lock, [&] { return stop_ || next_ >= lanes_.size() || next_ < taken_ + ahead_; });
      if (stop_ || next_ >= lanes_.size()) return;
      item = next_++;
    }
    Lane& lane = *lanes_[item];
    // The job's own view of the operation: the caller's utilities, its events kept in the lane, and a
    // cancel flag of its own that follows the caller's stop.
    bool cancel = false;
    LaneBytes bytes(*this, lane, cancel);
    LaneEvents events(*this, lane, bytes, cancel);
    std::string nativeCaption;
    OperationOutcome outcome;
    Operation operation(operation_.utils(), &events, cancel, operation_.workFolder(), operation_.drive(),
                        nativeCaption, outcome);
    std::exception_ptr failure;
    try {
      work_(item, job, operation, bytes);
      bytes.Flush();
    } catch (const Stopped&) {
      return;
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    lane.done = true;
    lane.failure = failure;
    // A failure ends the work: the items after it are not begun, as with one job.
    if (failure) next_ = lanes_.size();
    callerWake_.notify_all();
  }
}

bool OrderedJobs::Take(std::size_t item, utils::ByteSink* out) {
  Lane& lane = *lanes_[item];
  for (;;) {
    std::optional<Lane::Entry> entry;
    {
      std::unique_lock lock(mutex_);
      callerWake_.wait(lock, [&] { return !lane.entries.empty() || lane.done; });
      if (lane.entries.empty()) {
        ++taken_;
        jobsWake_.notify_all();
        if (lane.failure) {
          std::exception_ptr failure = lane.failure;
          lock.unlock();
          Stop();
          std::rethrow_exception(failure);
        }
        return true;
      }
      entry = std::move(lane.entries.front());
      lane.entries.pop_front();
      if (entry->kind == Lane::Entry::Kind::kBytes) {
        lane.bytes -= entry->bytes.size();
        jobsWake_.notify_all();
      }
    }
    using Kind = Lane::Entry::Kind;
    switch (entry->kind) {
      case Kind::kBytes:
        if (out != nullptr) out->Write(entry->bytes);
        continue;
      case Kind::kProgress:
        operation_.RaiseUpdateProgress(entry->value, entry->text);
        break;
      case Kind::kTableProgress:
        operation_.RaiseTableProgress(entry->text, entry->done, entry->total);
        break;
      case Kind::kMessage: {
        auto answer = static_cast<std::int32_t>(entry->done);
        operation_.RaiseShowMessage(entry->text, entry->value, entry->guid, answer);
        break;
      }
      case Kind::kCorruption:
        operation_.RaiseDatabaseCorruptionFound();
        break;
    }
    if (operation_.Cancelled()) {
      Stop();
      return false;
    }
  }
}

}  // namespace vela
