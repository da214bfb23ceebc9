// The one percentage the host's bar shows for a whole save or restore.
//
// The component's UpdateProgress values run from 0 to 100 once per step (each table, packing, unpacking),
// so on their own they go back at every step. This figure weighs the steps by their work and never goes
// back:
// - a save: reading the tables takes the first part, each table from the value of the step before it to
//   its own value (the component's share of that table), moved on by its rows (TableProgress) as they are
//   read; packing takes the rest, by the bytes packed;
// - a restore: unpacking takes the first part, by the bytes unpacked; the rows of every table take the
//   rest but a little, by the rows written out of all the rows of the backup (when the host could read
//   them before the restore, else by the component's value); keys and engine objects take that little.
// The shares are measured on a million-row save and restore (a tenth of a compressed save's time comes
// after its last table, packing what is still in flight).
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vela::cli {

class OverallProgress {
 public:
  // `packing`: the caption of the step that packs (a save) or unpacks (a restore) the backup file, and its
  // share of the whole in per mille; `rows`: a restore's rows in all, 0 when not known.
  OverallProgress(bool save, std::string packing, std::int32_t packShare, std::int64_t rows = 0);

  void Step(std::int32_t value, const std::string& caption);
  void Rows(const std::string& table, std::int64_t done, std::int64_t total);

  // 0..1000, never less than before.
  std::int32_t PerMille() const { return shown_; }
  std::int32_t Percent() const { return shown_ / 10; }

 private:
  void Show(double perMille);
  void ShowTables();

  const bool save_;
  const std::string packing_;
  const std::int32_t packShare_;
  const std::int64_t rows_;
  bool packed_ = false;  // the packing step began (a save) or ended (a restore)
  std::int32_t shown_ = 0;
  // A save's table under way: its share of the component's 0..100, and how far its rows are.
  std::int32_t spanFrom_ = 0, spanTo_ = 0;
  double fraction_ = 0;
  std::map<std::string, std::int64_t> done_;  // a restore's rows written, by table
  std::int64_t rowsDone_ = 0;
};

// The share of packing in a save's work, per mille: the table data files are packed while they are written,
// so what is left after the last table is the tail of the compression (a few chunks) and the document;
// unpacking in a restore's, which writes the document and the host's files only (the table data files are
// read from the backup file with their tables' rows).
inline constexpr std::int32_t kStoreShare = 20, kDeflateShare = 100, kUnpackShare = 20;

}  // namespace vela::cli
