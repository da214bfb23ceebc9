// Progress and stop handling shared by the zip and unzip controls (internal).
//
// Major status carries the percent of all bytes, raised when the item changes or the percent moves; minor
// status carries the percent of the current item and is raised every time. A non-zero stop reply from
// either becomes a StopRequested exception, which the control turns into its kStopped outcome.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace vela::zip {

struct StopRequested {};

inline int Percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return 100;
  return static_cast<int>(std::min<std::uint64_t>(100, part * 100 / whole));
}

template <class Events>
class StatusReport {
 public:
  StatusReport(Events& events, std::uint64_t total) : events_(events), total_(total) {}

  void Report(const std::string& item, std::uint64_t itemDone, int itemPercent, bool newItem) {
    int overall = Percent(finished_ + itemDone, total_);
    std::string text = item;
    std::int32_t stop = 0;
    if (newItem || overall != lastOverall_) {
      std::int32_t value = overall;
      lastOverall_ = overall;
      events_.MajorStatus(text, value, stop);
      if (stop != 0) throw StopRequested{};
    }
    std::int32_t value = itemPercent;
    events_.MinorStatus(text, value, stop);
    if (stop != 0) throw StopRequested{};
  }
  void ItemFinished(std::uint64_t bytes) { finished_ += bytes; }

  // When the work is done: the bar ends full even if the items turned out smaller than announced.
  void Complete() {
    if (lastOverall_ == 100) return;
    std::string text;
    std::int32_t value = 100;
    std::int32_t stop = 0;
    events_.MajorStatus(text, value, stop);
  }

 private:
  Events& events_;
  std::uint64_t total_;
  std::uint64_t finished_ = 0;
  int lastOverall_ = -1;
};

}  // namespace vela::zip
