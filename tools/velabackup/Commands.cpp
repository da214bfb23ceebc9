#include "Commands.h"

#include <iostream>

namespace vela::cli {
namespace {

int NotBuiltYet(const char* command) {
  std::cerr << "velabackup: the " << command << " command is not built yet\n";
  return 2;
}

}  // namespace

int RunSave(const SaveOptions&) { return NotBuiltYet("save"); }
int RunRestore(const RestoreOptions&) { return NotBuiltYet("restore"); }
int RunInspect(const InspectOptions&) { return NotBuiltYet("inspect"); }
int RunSample(const SampleOptions&) { return NotBuiltYet("sample"); }

}  // namespace vela::cli
