// Items worked on by several jobs and taken by the caller in order: each item's events and bytes come as
// its work gave them, whatever job did it and however far ahead; a failure comes at its item; a stop at an
// event ends the jobs, also those waiting to hand over bytes.
#include "component/OrderedJobs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "velabackup/Error.h"

namespace vela {
namespace {

// The events the caller hears and the bytes it is handed, in one log.
class Log : public CBackupEvents, public utils::ByteSink {
 public:
  void UpdateProgress(std::int32_t value, const std::string& caption) override {
    entries.push_back("event " + std::to_string(value) + " " + caption);
    if (cancelAt > 0 && ++heard == cancelAt) *cancel = true;
  }
  void ShowMessage(const std::string& prompt, std::int32_t, const std::string&,
                   std::int32_t& result) override {
    entries.push_back("message " + prompt + " " + std::to_string(result));
  }
  void Write(std::span<const std::byte> bytes) override {
    if (!entries.empty() && entries.back().starts_with("bytes ")) entries.pop_back();
    data.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    entries.push_back("bytes " + std::to_string(data.size()));
  }

  std::vector<std::string> entries;
  std::string data;
  int cancelAt = 0, heard = 0;
  bool* cancel = nullptr;
};

struct Harness {
  Harness() { log.cancel = &state.m_Cancel; }
  ObjectState state{nullptr};
  Log log;
  Operation operation = [this] {
    state.events = &log;
    return state.MakeOperation();
  }();
};

// Item i writes 200 KiB in pieces, every fifth item 6.4 MiB (more than a job may hold before the caller
// takes it), with events between the pieces and a notice at the end.
void Work(std::size_t item, std::size_t, Operation& operation, utils::ByteSink& bytes) {
  const std::string piece(100 * 1024, static_cast<char>('a' + item % 26));
  for (std::size_t i = 0; i < (item % 5 == 4 ? 64u : 2u); ++i) {
    bytes.Write(std::as_bytes(std::span(piece)));
    if (i % 4 == 0)
      operation.RaiseUpdateProgress(static_cast<std::int32_t>(i), "item " + std::to_string(item));
  }
  std::int32_t answer = 1;
  operation.RaiseShowMessage("done " + std::to_string(item), 0, "{guid}", answer);
}

std::vector<std::string> TakeAll(std::size_t count, std::size_t jobs, Harness& h) {
  OrderedJobs ordered(h.operation, count, jobs, Work);
  for (std::size_t i = 0; i < count; ++i) EXPECT_TRUE(ordered.Take(i, &h.log)) << i;
  return h.log.entries;
}

TEST(OrderedJobs, EveryItemsEventsAndBytesComeInItsOrderWhateverTheJobs) {
  Harness one;
  const std::vector<std::string> expected = TakeAll(24, 1, one);
  EXPECT_EQ(one.log.data.size(), std::size_t{100} * 1024 * (4 * 64 + 20 * 2));
  for (std::size_t jobs : {2u, 7u}) {
    Harness many;
    EXPECT_EQ(TakeAll(24, jobs, many), expected) << jobs << " jobs";
    EXPECT_EQ(many.log.data, one.log.data) << jobs << " jobs";
  }
}

TEST(OrderedJobs, AFailureComesAtItsItemAndNoLaterItemBegins) {
  Harness h;
  std::atomic<std::size_t> latest{0};
  OrderedJobs ordered(h.operation, 100, 3,
                      [&](std::size_t item, std::size_t, Operation& op, utils::ByteSink&) {
                        latest = std::max<std::size_t>(latest, item);
                        if (item == 5) throw Error(kDiskFull, "test", "no room for item 5");
                        op.RaiseUpdateProgress(static_cast<std::int32_t>(item), "item");
                      });
  for (std::size_t i = 0; i < 5; ++i) EXPECT_TRUE(ordered.Take(i, nullptr));
  try {
    ordered.Take(5, nullptr);
    ADD_FAILURE() << "item 5 failed";
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kDiskFull);
  }
  ordered.Stop();
  EXPECT_EQ(h.log.entries.size(), 5u);
  EXPECT_LT(latest.load(), 5u + 3 * 2 + 1);  // never more than a few items past the caller's
}

TEST(OrderedJobs, AStopAtAnEventEndsJobsThatWaitToHandOverBytes) {
  Harness h;
  h.log.cancelAt = 3;
  std::atomic<int> ended{0};
  {
    // Each item would write 1 GiB: the jobs can only be waiting for the caller when it stops.
    OrderedJobs ordered(h.operation, 8, 2,
                        [&](std::size_t, std::size_t, Operation& op, utils::ByteSink& bytes) {
                          struct Count {
                            std::atomic<int>& ended;
                            ~Count() { ++ended; }
                          } count{ended};
                          const std::string piece(1 << 20, 'x');
                          for (int i = 0; i < 1024 && !op.Cancelled(); ++i) {
                            bytes.Write(std::as_bytes(std::span(piece)));
                            op.RaiseUpdateProgress(i, "piece");
                          }
                        });
    EXPECT_FALSE(ordered.Take(0, &h.log));
  }
  EXPECT_EQ(ended.load(), 2);  // both jobs ended their item and took no other
  EXPECT_LT(h.log.data.size(), std::size_t{8} << 20);
}

}  // namespace
}  // namespace vela
