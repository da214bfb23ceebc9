// The failure convention of the component.
//
// Every trapping procedure runs its body through Trapped(). The body marks each statement that may fail by
// calling its Procedure (`at();`), which records the statement's line through std::source_location. When
// the body fails, the error passes on with the same number and source and with
//   " (VelaBackup.CBackup.<name> component failure at line:<n>)"
// appended, n being the line of the last marked statement. Nothing else is done on that path: no clean-up,
// no event. Failures that are not vela::Error (a std::exception from the platform) are turned into one
// first, so that the host always receives a number, a source and a description.
#pragma once

#include <cstdint>
#include <new>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "velabackup/Error.h"

namespace vela {

class Procedure {
 public:
  explicit Procedure(std::string name, std::uint_least32_t line) : name_(std::move(name)), line_(line) {}

  // Marks the statement about to run.
  void operator()(std::source_location where = std::source_location::current()) noexcept {
    line_ = where.line();
  }

  // The name as it appears in the suffix; a procedure may qualify it while it runs
  // (the data restoration names the table and column it is working on).
  void SetName(std::string name) { name_ = std::move(name); }
  const std::string& Name() const noexcept { return name_; }
  std::uint_least32_t Line() const noexcept { return line_; }

  // The suffix this procedure appends to a failure's description.
  std::string Suffix() const;

 private:
  std::string name_;
  std::uint_least32_t line_;
};

// Converts whatever was thrown into a vela::Error (called from inside a catch block).
Error CurrentExceptionAsError();

template <class Body>
decltype(auto) Trapped(std::string name, Body&& body,
                       std::source_location where = std::source_location::current()) {
  Procedure procedure(std::move(name), where.line());
  try {
    return std::forward<Body>(body)(procedure);
  } catch (Error& error) {
    error.AppendToDescription(procedure.Suffix());
    throw;
  } catch (...) {
    Error error = CurrentExceptionAsError();
    error.AppendToDescription(procedure.Suffix());
    throw error;
  }
}

}  // namespace vela
