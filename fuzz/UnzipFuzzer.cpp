// Fuzzes the archive unpacker: an input is a zip archive, unpacked into a fresh folder that is removed
// after each input. A hostile archive must fail with vela::Error, and nothing may land outside the folder.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "FuzzSupport.h"
#include "platform/zip/UnzipControl.h"
#include "velabackup/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path& run = vela::fuzz::RunFolder();
  const std::filesystem::path archive = run / "archive.zip";
  vela::fuzz::WriteFile(archive, data, size);
  {
    vela::fuzz::ScratchFolder work;
    vela::zip::UnzipControl control;
    control.SetArchivePath(archive);
    control.SetDestination(work.path() / "unpacked");
    // A few megabytes are enough to reach every path; the default bounds would let one input fill the disk.
    control.SetLimits({.members = 1000, .bytes = std::uint64_t{64} << 20});
    try {
      (void)control.Unpack();
    } catch (const vela::Error&) {
    }
  }
  // Only the archive may be left in the run's folder: a member written beside the destination escaped it.
  for (const auto& entry : std::filesystem::directory_iterator(run))
    if (entry.path() != archive) ::abort();
  return 0;
}
