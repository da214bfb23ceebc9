// Fuzzes the archive unpacker and the member reader of inspect and verify: an input is a zip archive,
// unpacked into a fresh folder that is removed after each input, then read member by member. Most inputs
// are read with a password, so that encrypted members (the AES of a protected backup) are decrypted too;
// an input whose last byte has its high bit set is read without one. A hostile archive must fail with
// vela::Error, and nothing may land outside the folder.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "FuzzSupport.h"
#include "platform/zip/ArchiveReader.h"
#include "platform/zip/UnzipControl.h"
#include "velabackup/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path& run = vela::fuzz::RunFolder();
  const std::filesystem::path archive = run / "archive.zip";
  vela::fuzz::WriteFile(archive, data, size);
  // The seeds' password (fuzz/make_seeds.py).
  const std::string password = size > 0 && (data[size - 1] & 0x80) != 0 ? "" : "fuzz";
  // A few megabytes are enough to reach every path; the default bounds would let one input fill the disk.
  const vela::zip::UnpackLimits limits{.members = 1000, .bytes = std::uint64_t{64} << 20};
  {
    vela::fuzz::ScratchFolder work;
    vela::zip::UnzipControl control;
    control.SetArchivePath(archive);
    control.SetDestination(work.path() / "unpacked");
    control.SetLimits(limits);
    control.SetPassword(password);
    try {
      (void)control.Unpack();
    } catch (const vela::Error&) {
    }
  }
  try {
    vela::zip::ArchiveReader reader(archive, limits, password);
    for (const vela::zip::MemberStat& member : reader.Members()) {
      try {
        reader.Read(
            member, [](const char*, std::size_t) {}, std::uint64_t{1} << 20);
      } catch (const vela::Error&) {
      }
    }
  } catch (const vela::Error&) {
  }
  // Only the archive may be left in the run's folder: a member written beside the destination escaped it.
  for (const auto& entry : std::filesystem::directory_iterator(run))
    if (entry.path() != archive) ::abort();
  return 0;
}
