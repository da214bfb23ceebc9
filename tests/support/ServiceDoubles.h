// Doubles of the services a CBackup object is given: each forwards every call to the real services, so a
// test overrides just the call it needs to change (a full removable disk, the work folder it watches, the
// nth write failing).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <system_error>

#include "velabackup/Services.h"

namespace vela::testing {

class ForwardingServices : public Services {
 public:
  explicit ForwardingServices(std::shared_ptr<Services> target = SystemServices())
      : target_(std::move(target)) {}
  const Utils& Utilities() const override { return target_->Utilities(); }
  const zip::Drive& Drive() const override { return target_->Drive(); }
  std::string MakeWorkFolder() const override { return target_->MakeWorkFolder(); }
  FileWrites* Writes() const override { return target_->Writes(); }

 protected:
  std::shared_ptr<Services> target_;
};

// Remembers the last work folder made, so that a test sees whether an operation left it behind.
class WatchedWorkFolder : public ForwardingServices {
 public:
  std::string MakeWorkFolder() const override { return last = ForwardingServices::MakeWorkFolder(); }
  mutable std::string last;
};

// Counts every write, sync and rename (the database engine's included) and fails the nth from FailNth(n)
// on, once, as a full disk would; FailNth(0) counts without failing.
class FaultCountingServices : public ForwardingServices, private FileWrites {
 public:
  FileWrites* Writes() const override { return const_cast<FaultCountingServices*>(this); }
  void FailNth(long n) {
    counted_ = 0;
    failAt_ = n;
  }
  // How many were counted since FailNth: fewer than n means the run never met its fault.
  long Counted() const { return counted_; }

 private:
  std::error_code BeforeWrite() override {
    long expected = ++counted_;
    // Only one write fails, whichever thread meets the count first.
    if (!failAt_.compare_exchange_strong(expected, 0)) return {};
    return std::make_error_code(std::errc::no_space_on_device);
  }
  std::atomic<long> failAt_ = 0;
  std::atomic<long> counted_ = 0;
};

}  // namespace vela::testing
