// The client-side recordset every provider hands out for a rowset it has read whole (client-side cursors,
// scrollable read-only cursors, schema rowsets): all rows in memory, so it knows RecordCount and can Sort.
// Read-only; failures name `source`, the provider that made it.
#pragma once

#include <string>
#include <vector>

#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela::data {

class BufferedRecordset final : public Recordset {
 public:
  BufferedRecordset(std::vector<FieldInfo> fields, std::vector<std::vector<Value>> rows,
                    std::string source = kSourceData)
      : fields_(std::move(fields)), rows_(std::move(rows)), source_(std::move(source)) {}

  bool Eof() const override { return position_ >= rows_.size(); }
  void MoveNext() override;
  std::int64_t RecordCount() const override { return static_cast<std::int64_t>(rows_.size()); }
  std::size_t FieldCount() const override { return fields_.size(); }
  const FieldInfo& Field(std::size_t index) const override;
  const Value& GetValue(std::size_t index) const override;
  // Null first, numbers by value, everything else by its text without regard to case; stable.
  void Sort(std::string_view fieldName) override;
  void AddNew() override;
  void SetValue(std::size_t, const Value&) override { AddNew(); }
  void Update() override { AddNew(); }
  void CancelUpdate() override { AddNew(); }
  EditModeEnum EditMode() const override { return adEditNone; }
  void Close() override { rows_.clear(); }

 private:
  std::vector<FieldInfo> fields_;
  std::vector<std::vector<Value>> rows_;
  std::string source_;
  std::size_t position_ = 0;
};

// The failures every recordset shares, raised with the provider's source.
[[noreturn]] void ThrowNoCurrentRow(std::string_view source);
[[noreturn]] void ThrowNotUpdatable(std::string_view source);
[[noreturn]] void ThrowNoSuchField(std::string_view source, std::size_t index);

}  // namespace vela::data
