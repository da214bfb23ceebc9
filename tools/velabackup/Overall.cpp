#include "Overall.h"

#include <algorithm>

namespace vela::cli {
namespace {

// The part of a restore left for its keys and engine objects, after the rows.
constexpr double kAfterRows = 20;

}  // namespace

OverallProgress::OverallProgress(bool save, std::string packing, std::int32_t packShare, std::int64_t rows)
    : save_(save), packing_(std::move(packing)), packShare_(packShare), rows_(rows) {}

void OverallProgress::Show(double perMille) {
  shown_ = std::max(shown_, static_cast<std::int32_t>(std::clamp(perMille, 0.0, 1000.0)));
}

void OverallProgress::ShowTables() {
  if (save_) {
    const double value = spanFrom_ + (spanTo_ - spanFrom_) * fraction_;
    Show((1000 - packShare_) * value / 100);
  } else if (rows_ > 0) {
    Show(packShare_ + (1000 - packShare_ - kAfterRows) * static_cast<double>(rowsDone_) / rows_);
  }
}

void OverallProgress::Step(std::int32_t value, const std::string& caption) {
  const double part = std::clamp(value, 0, 100) / 100.0;
  if (caption == packing_) {
    packed_ = true;
    Show(save_ ? 1000 - packShare_ + packShare_ * part : packShare_ * part);
  } else if (!packed_) {
    // A save's table step: the component's value ends the table's share, the step before began it. The
    // captions that carry the rows so far repeat the value.
    if (save_ && value > spanTo_) {
      spanFrom_ = spanTo_;
      spanTo_ = value;
      fraction_ = 0;
    }
    ShowTables();
  } else if (value == 100) {
    Show(1000);  // the operation's last step
  } else if (!save_ && rows_ == 0) {
    Show(packShare_ + (1000 - packShare_) * part);
  }
}

void OverallProgress::Rows(const std::string& table, std::int64_t done, std::int64_t total) {
  if (save_) {
    fraction_ = total > 0 ? std::clamp(static_cast<double>(done) / total, 0.0, 1.0) : 1.0;
  } else {
    std::int64_t& rows = done_[table];
    if (done > rows) rowsDone_ += done - rows, rows = done;
  }
  ShowTables();
}

}  // namespace vela::cli
