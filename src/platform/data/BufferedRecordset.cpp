#include "platform/data/BufferedRecordset.h"

#include <algorithm>

#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::data {

namespace {

bool Less(const Value& a, const Value& b) {
  if (a.IsNullOrEmpty() || b.IsNullOrEmpty()) return a.IsNullOrEmpty() && !b.IsNullOrEmpty();
  auto numeric = [](const Value& v) {
    return v.GetKind() == Value::Kind::Integer || v.GetKind() == Value::Kind::Double ||
           v.GetKind() == Value::Kind::Boolean;
  };
  if (numeric(a) && numeric(b)) return a.AsDouble() < b.AsDouble();
  return text::ToLower(a.AsText()) < text::ToLower(b.AsText());
}

}  // namespace

void ThrowNoCurrentRow(std::string_view source) {
  throw Error(kGeneralFailure, std::string(source),
              "Either BOF or EOF is True, or the current record has been deleted; the operation needs a "
              "current record");
}

void ThrowNotUpdatable(std::string_view source) {
  throw Error(kNotSupported, std::string(source), "The operation is not allowed: the recordset is read-only");
}

void ThrowNoSuchField(std::string_view source, std::size_t index) {
  throw Error(kItemNotFound, std::string(source),
              "Item cannot be found in the collection: field " + std::to_string(index));
}

void BufferedRecordset::MoveNext() {
  if (Eof()) ThrowNoCurrentRow(source_);
  ++position_;
}

const FieldInfo& BufferedRecordset::Field(std::size_t index) const {
  if (index >= fields_.size()) ThrowNoSuchField(source_, index);
  return fields_[index];
}

const Value& BufferedRecordset::GetValue(std::size_t index) const {
  if (index >= fields_.size()) ThrowNoSuchField(source_, index);
  if (Eof()) ThrowNoCurrentRow(source_);
  return rows_[position_][index];
}

void BufferedRecordset::Sort(std::string_view fieldName) {
  std::size_t field = FieldIndex(fieldName);
  std::stable_sort(
      rows_.begin(), rows_.end(),
      [field](const std::vector<Value>& a, const std::vector<Value>& b) { return Less(a[field], b[field]); });
  position_ = 0;
}

void BufferedRecordset::AddNew() {
  ThrowNotUpdatable(source_);
}

}  // namespace vela::data
