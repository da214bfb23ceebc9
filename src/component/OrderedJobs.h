// Items of an operation worked on by several jobs at once and handed to the caller's thread one by one, in
// their order.
//
// Each job runs on a thread of its own and takes the next item not yet taken, never more than a few items
// ahead of the one the caller is at. What the work of an item would raise as events is kept, in order,
// with the bytes it writes, and the caller raises the events on its own thread and writes the bytes where
// they go when it comes to the item: the host sees the same events in the same order whatever the number
// of jobs, and a stop from any of them is the caller's, as it is with one job. The bytes an item has not
// handed over are bounded, so memory stays flat whatever an item writes: a job that runs ahead waits.
//
// A job's work sees a cancelled operation once the caller stopped (at an event, or on a failure it met),
// and its writes throw then, so that the job ends its item early; the caller never takes that item. The
// work of an item may only give notices (a ShowMessage whose answer steers nothing): the answer a job
// sees is the one preset.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "component/Operation.h"
#include "platform/utils/ByteStreams.h"

namespace vela {

class OrderedJobs {
 public:
  // The work of one item on job `job` (0 to jobs - 1, for the job's own connection): it raises its events
  // through `operation` and writes its bytes into `bytes`.
  using Work =
      std::function<void(std::size_t item, std::size_t job, Operation& operation, utils::ByteSink& bytes)>;

  // Starts `jobs` threads for items 0 to count - 1. `operation` is the caller's: the jobs share its
  // utilities; the file writes of this thread (utils::CurrentWrites) and its message catalogue are theirs
  // as well.
  OrderedJobs(Operation& operation, std::size_t count, std::size_t jobs, Work work);
  // Stops the jobs that still run and waits for them.
  ~OrderedJobs();
  OrderedJobs(const OrderedJobs&) = delete;
  OrderedJobs& operator=(const OrderedJobs&) = delete;

  // On the caller's thread, for the items in their order: raises item `item`'s events through the
  // caller's operation and writes its bytes into `out` (none: the item writes none) as they come, and
  // returns when the item is done. The item's failure is thrown here. False when the operation was
  // cancelled at one of its events: the jobs stop, and no later item may be taken.
  bool Take(std::size_t item, utils::ByteSink* out);

  // Stops the jobs and waits for them (the caller goes on with the connections they used).
  void Stop();

 private:
  struct Lane;
  class LaneEvents;
  class LaneBytes;

  void Run(std::size_t job);
  // An empty piece with room for a whole one, from those the caller has handed over when there are any.
  std::vector<std::byte> SparePiece();

  Operation& operation_;
  Work work_;
  std::vector<std::unique_ptr<Lane>> lanes_;
  std::mutex mutex_;
  std::condition_variable jobsWake_;    // a job waits for room
  std::condition_variable callerWake_;  // the caller waits for an item's next entry
  std::size_t next_ = 0;                // the next item a job takes
  std::size_t taken_ = 0;               // the items the caller is done with
  std::size_t ahead_;                   // how far past the caller's item a job may start one
  std::atomic<bool> stop_ = false;      // set under the mutex, read without it by a job's writes
  std::vector<std::vector<std::byte>> spare_;
  std::vector<std::thread> threads_;
};

}  // namespace vela
