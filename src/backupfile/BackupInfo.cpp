// Reading a backup file without a database (velabackup/BackupInfo.h). Members are read straight from the
// archive; the backup document and each table data file a check reads whole pass through a private work
// folder one at a time, so that the document reader and the table data file reader of the restore read them
// as they are. A table's row count is read from its data file's first bytes where they lie.
#include "velabackup/BackupInfo.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <unordered_map>

#include "backupfile/BackupDocument.h"
#include "backupfile/FormatNumericValue.h"
#include "backupfile/Members.h"
#include "backupfile/TableDataFile.h"
#include "component/Operation.h"
#include "platform/data/Canonical.h"
#include "platform/text/Strings.h"
#include "platform/zip/ArchiveReader.h"
#include "velabackup/BackupFile.h"
#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"
#include "velabackup/data/Types.h"

namespace vela {
namespace fs = std::filesystem;
namespace {

// The header "[count]" of a table data file fits in its first bytes: the mark, "[", ten digits, "]".
constexpr std::uint64_t kDataHeaderBytes = 64;
constexpr std::uint64_t kSmallMemberBytes = 64;

// The private work folder of one look at a backup file, the operations' own kind, removed with what it
// holds when the look ends.
struct CheckFolder {
  CheckFolder() { folder.Get(); }  // a folder that cannot be made fails the look before it begins

  Utils utils;
  WorkFolder folder{utils};

  fs::path File(const char* name) { return fs::path(folder.Get()) / name; }
};

// The first bytes of a member, read where it lies: what a table data file's header needs.
class MemberHead final : public utils::ByteSource {
 public:
  MemberHead(std::unique_ptr<utils::ByteSource> member, std::uint64_t limit)
      : member_(std::move(member)), size_(std::min(member_->Size(), limit)) {}
  std::size_t Read(void* data, std::size_t size) override {
    const std::size_t done =
        member_->Read(data, static_cast<std::size_t>(std::min<std::uint64_t>(size, size_ - read_)));
    read_ += done;
    return done;
  }
  std::uint64_t Size() const noexcept override { return size_; }

 private:
  std::unique_ptr<utils::ByteSource> member_;
  std::uint64_t size_;
  std::uint64_t read_ = 0;
};

std::string SmallMember(const zip::ArchiveReader& reader, const zip::MemberStat* member) {
  if (member == nullptr) return {};
  std::string text;
  reader.Read(
      *member, [&](const char* data, std::size_t size) { text.append(data, size); }, kSmallMemberBytes);
  return std::string(text::Trim(text));
}

template <class Enum>
std::optional<Enum> Marker(const std::string& text, int low, int high) {
  std::optional<std::int32_t> number = backupfile::ParseMarker(text);
  if (!number || *number < low || *number > high) return std::nullopt;
  return static_cast<Enum>(*number);
}

// The parts of the file that InspectBackup and VerifyBackup both read first.
struct Contents {
  std::optional<backupfile::MemberIndex> index;
  BackupInfo info;
  std::optional<backupfile::BackupDocument> document;
  // Beside info.members: the document's table whose data file the member is, or null.
  std::vector<const backupfile::TableEntry*> memberTables;
};

void ReadDocument(const zip::ArchiveReader& reader, const zip::MemberStat& member, CheckFolder& work,
                  Contents& contents) {
  if (member.size > kMaxBackupDocument)
    throw Error(kBadFileFormat, kSourceComponent,
                std::string("The backup document ") + kDocumentMember + " declares " +
                    std::to_string(member.size) + " bytes, more than the " +
                    std::to_string(kMaxBackupDocument) + " that are read");
  const fs::path path = work.File("document.xml");
  reader.Extract(member, path);
  contents.document = backupfile::ReadBackupDocument(xml::Document::Load(path.string()));
  fs::remove(path);
}

// The member of exactly that name, found by the restore's rule, or nullptr.
const zip::MemberStat* Find(const zip::ArchiveReader& reader, const Contents& contents,
                            std::string_view name) {
  std::optional<std::size_t> at = contents.index->Find(name);
  return at ? &reader.Members()[*at] : nullptr;
}

// A table of the document as BackupInfo tells of it; the data file's presence is the caller's to say.
BackupTable Described(const backupfile::TableEntry& entry) {
  BackupTable table;
  table.name = entry.name;
  table.schema = entry.schema.value_or("");
  table.fileName = entry.fileName.value_or("");
  table.dataSaved = entry.dataSaved;
  table.columns = static_cast<std::uint32_t>(entry.columns.size());
  for (const backupfile::ColumnEntry& column : entry.columns)
    table.columnList.push_back({column.name, column.dataType, column.serverType.value_or(""),
                                column.defineSize.value, column.precision.value, column.numericScale.value,
                                column.nullable.ValueOr(true), column.autoincrement.ValueOr(false)});
  for (const backupfile::IndexEntry& index : entry.indexes)
    table.indexes.push_back(
        {index.name, index.columns, index.primaryKey.ValueOr(false), index.unique.ValueOr(false)});
  for (const backupfile::KeyEntry& key : entry.keys) {
    BackupKey& described = table.keys.emplace_back();
    described.name = key.name;
    described.relatedTable = key.relatedTable;
    for (const backupfile::KeyColumnEntry& column : key.columns) {
      described.columns.push_back(column.name);
      described.relatedColumns.push_back(column.relatedColumn.value_or(""));
    }
  }
  return table;
}

// Fills `contents` in place: memberTables points into its document.
void ReadContents(const zip::ArchiveReader& reader, CheckFolder& work, Contents& contents) {
  BackupInfo& info = contents.info;
  std::vector<std::string> names;
  for (const zip::MemberStat& stat : reader.Members()) names.push_back(stat.name);
  contents.index.emplace(names, reader.Path().string());
  const zip::MemberStat* document = Find(reader, contents, kDocumentMember);
  const zip::MemberStat* mode = Find(reader, contents, kModeMember);
  info.layout = document != nullptr || mode != nullptr ? BackupLayout::kCurrent : BackupLayout::kOlder;
  info.encrypted = reader.Encrypted();
  info.locked = reader.Locked();
  if (info.locked) document = mode = nullptr;  // the members' names and sizes are all there is to read
  info.modeText = SmallMember(reader, mode);
  info.mode = Marker<BackupModeEnum>(info.modeText, bmCompressedTextFile, bmDirectCopy);
  info.providerText = info.locked ? "" : SmallMember(reader, Find(reader, contents, kProviderMember));
  info.provider = Marker<DataProvider>(info.providerText, dpAccess, dpSQLServer);
  if (document != nullptr) {
    ReadDocument(reader, *document, work, contents);
    contents.index->CheckTableFiles(*contents.document);
    if (const auto& origin = contents.document->origin)
      info.origin = BackupOrigin{origin->database, origin->engine, origin->made, origin->tool};
  }

  // The table of each data file, by the file's exact name; the first table naming a file is the one it
  // belongs to.
  std::unordered_map<std::string, const backupfile::TableEntry*> tableOfFile;
  if (contents.document) {
    for (const auto& group : contents.document->groups)
      for (const backupfile::TableEntry& entry : group) {
        if (!entry.IsTable()) continue;
        BackupTable table = Described(entry);
        table.dataPresent = !table.fileName.empty() && contents.index->Has(table.fileName);
        if (!table.fileName.empty()) tableOfFile.emplace(table.fileName, &entry);
        info.tables.push_back(std::move(table));
      }
  }
  for (const zip::MemberStat& stat : reader.Members()) {
    BackupMember member{stat.name, MemberRole::kAdditionalFile, {}, stat.size, stat.packedSize, stat.method};
    const backupfile::TableEntry* table = nullptr;
    if (stat.name == kDocumentMember) {
      member.role = MemberRole::kDocument;
    } else if (stat.name == kModeMember) {
      member.role = MemberRole::kMode;
    } else if (stat.name == kProviderMember) {
      member.role = MemberRole::kProvider;
    } else if (stat.name == kNativeBackupMember) {
      member.role = MemberRole::kNativeCopy;
    } else if (auto found = tableOfFile.find(stat.name); found != tableOfFile.end()) {
      table = found->second;
      member.role = MemberRole::kTableData;
      member.table = table->name;
    }
    info.members.push_back(std::move(member));
    contents.memberTables.push_back(table);
  }
}

// Collects the problems of a check, keeping the first kMaxVerifyProblems.
class Findings {
 public:
  explicit Findings(VerifyReport& report) : report_(report) {}
  void Add(std::string member, std::string table, std::uint64_t row, std::string text,
           bool dataFileMissing = false) {
    if (++report_.problemCount <= kMaxVerifyProblems)
      report_.problems.push_back(
          {std::move(member), std::move(table), row, std::move(text), dataFileMissing});
  }

 private:
  VerifyReport& report_;
};

struct NumberForm {
  std::string decimal = ".", thousands;
};

// Whether a value stored without a class reads as its column's type, as the restore reads it.
bool WellFormed(int type, const std::string& text, const NumberForm& plain, const NumberForm& money) {
  using namespace data;
  std::int64_t whole = 0;
  double real = 0;
  auto convert = [&](const NumberForm& form) {
    return backupfile::FormatNumericValue(text, form.decimal, form.thousands, ".", "");
  };
  if (type == adBoolean) return ParseDouble(text, real);
  if (IsIntegerType(type)) return ParseInt(text, whole) || ParseDouble(convert(plain), real);
  if (type == adSingle || type == adDouble) return ParseDouble(convert(plain), real);
  if (type == adDecimal || type == adNumeric || type == adVarNumeric)
    return CanonicalDecimal(convert(plain)).has_value();
  if (type == adCurrency) return CanonicalDecimal(convert(money)).has_value();
  if (IsDateType(type)) return CanonicalDate(text).has_value();
  return true;
}

// A message about the work copy of a member, naming the member instead.
std::string NamingMember(std::string text, const fs::path& path, const std::string& member) {
  for (std::size_t at; (at = text.find(path.string())) != std::string::npos;)
    text.replace(at, path.string().size(), member);
  return text;
}

// Reads one table data file to its end, checking every row against the table's columns.
void CheckTableData(const fs::path& path, const backupfile::TableEntry& table, const NumberForm& plain,
                    const NumberForm& money, Findings& findings, VerifyReport& report) {
  using Token = backupfile::TableDataFileReader::Token;
  using Class = backupfile::TableDataFileReader::ValueClass;
  const std::string member = table.fileName.value_or("");
  std::vector<std::string> columnNames;
  for (const backupfile::ColumnEntry& column : table.columns) columnNames.push_back(column.name);
  std::uint64_t rows = 0;
  bool rowOpen = false;
  std::string text;
  std::vector<std::uint8_t> bytes;
  try {
    backupfile::TableDataFileReader reader(path, table.name, columnNames);
    if (!reader.HasRows()) return;
    for (Token token = reader.Next(); token != Token::kEnd; token = reader.Next()) {
      if (reader.StartsRow()) {
        ++rows;
        rowOpen = true;
      }
      if (token == Token::kCorruption) {
        if (!rowOpen) ++rows;  // a row without any field, marked corrupted
        rowOpen = false;
        findings.Add(member, table.name, rows, "the save marked the row corrupted");
        continue;
      }
      if (token != Token::kField) continue;
      const backupfile::ColumnEntry& column = table.columns[reader.FieldIndex()];
      bool good = true;
      switch (reader.Class()) {
        case Class::kInteger:
          reader.Integer();
          break;
        case Class::kReal:
          reader.Real();
          break;
        case Class::kBinary:
          bytes.clear();
          reader.AppendBytes(bytes);
          break;
        case Class::kText:
          break;
        case Class::kColumn:
          text.clear();
          reader.AppendText(text);
          good = WellFormed(column.dataType, text, plain, money);
          break;
      }
      if (!good)
        findings.Add(member, table.name, rows,
                     "column \"" + column.name + "\" holds \"" + text.substr(0, 40) +
                         (text.size() > 40 ? "..." : "") + "\", which is no value of its type " +
                         std::to_string(column.dataType));
    }
    report.rowsChecked += rows;
    if (!reader.EndedWithTrailer())
      findings.Add(
          member, table.name, 0,
          "the data file ends without its trailer after row " + std::to_string(rows) + ": it was cut short");
    if (rows != reader.RecordCount())
      findings.Add(member, table.name, 0,
                   "the data file's header counts " + std::to_string(reader.RecordCount()) +
                       " rows, but it holds " + std::to_string(rows));
  } catch (const Error& error) {
    report.rowsChecked += rows;
    findings.Add(member, table.name, rowOpen ? rows : rows + 1,
                 NamingMember(error.Description(), path, member));
  }
}

// The engine's copy of a database, unpacked into the work folder: its header says what it is, then the
// engine reads every page (an encrypted copy only with its password; without one the CRC-32 vouches for it).
void CheckNativeCopy(DataProvider engine, const fs::path& path, const zip::MemberStat& member,
                     const std::string& password, Findings& findings, VerifyReport& report) {
  std::string start(data::DirectCopyHeaderBytes(engine), '\0');
  std::ifstream in(path, std::ios::binary);
  in.read(start.data(), static_cast<std::streamsize>(start.size()));
  start.resize(static_cast<std::size_t>(in.gcount()));
  in.close();
  data::DirectCopyCheck check = data::CheckDirectCopy(engine, start, member.size);
  try {
    if (check.verdict != data::DirectCopyCheck::Verdict::kDamaged)
      check = data::CheckDirectCopyPages(engine, path, password);
  } catch (const Error& error) {  // a password the copy does not open with
    check = {data::DirectCopyCheck::Verdict::kDamaged, error.Description()};
  }
  if (check.verdict == data::DirectCopyCheck::Verdict::kDamaged) {
    findings.Add(member.name, {}, 0, NamingMember(check.why, path, member.name));
  } else if (check.verdict == data::DirectCopyCheck::Verdict::kOpaque) {
    report.notes.push_back(check.why + "; its " + std::to_string(member.size) +
                           " bytes were checked by their CRC-32 only");
    report.copyPagesUnchecked = true;
  }
}

// Columns whose sizes no engine can make: impossible ones (a size below zero, a precision below 1, a scale
// beyond the precision) and ones beyond every engine's limits. A restore would refuse them.
void CheckColumnSizes(const backupfile::BackupDocument& document, Findings& findings) {
  for (const std::vector<backupfile::TableEntry>& group : document.groups)
    for (const backupfile::TableEntry& table : group) {
      if (!table.IsTable()) continue;
      for (const backupfile::ColumnEntry& column : table.columns) {
        const std::string fault = data::ColumnSizeFaultEverywhere(
            {column.dataType, column.defineSize.value, column.precision.value, column.numericScale.value});
        if (!fault.empty())
          findings.Add(kDocumentMember, table.name, 0,
                       "column \"" + column.name + "\" has sizes no database can make: " + fault);
      }
    }
}

// Every engine object the backup carries for a provider this build knows must be made from one statement of
// the form its kind allows: any other SQL is damage, and the restore leaves the object out.
void CheckEngineObjects(const backupfile::BackupDocument& document, Findings& findings) {
  if (!document.engineObjects || data::ProviderEngine(document.engineObjects->provider) == dpUnknown) return;
  for (const data::EngineObject& object : document.engineObjects->objects)
    if (std::string why = data::CheckEngineObject(document.engineObjects->provider, object); !why.empty())
      findings.Add(
          kDocumentMember, object.kind == "table" ? object.name : object.table, 0,
          "the engine object " + backupfile::DescribeEngineObject(object) + " cannot be made: " + why);
}

}  // namespace

BackupInfo InspectBackup(const std::string& path, const std::string& password) {
  zip::ArchiveReader reader(path, {}, password);
  CheckFolder work;
  Contents contents;
  ReadContents(reader, work, contents);
  for (BackupTable& table : contents.info.tables) {
    if (!table.dataPresent) continue;
    try {
      backupfile::TableDataFileReader data(
          std::make_unique<MemberHead>(reader.Open(*Find(reader, contents, table.fileName)),
                                       kDataHeaderBytes),
          table.fileName, table.name, std::vector<std::string>(table.columns));
      table.headerCount = data.HasRows() ? data.RecordCount() : 0;
    } catch (const Error&) {
      // An unreadable header leaves the count unknown; VerifyBackup says why.
    }
  }
  return std::move(contents.info);
}

BackupCodeList ListBackupCode(const std::string& path, const std::string& password) {
  zip::ArchiveReader reader(path, {}, password);
  CheckFolder work;
  Contents contents;
  ReadContents(reader, work, contents);
  BackupCodeList list;
  if (contents.document && contents.document->engineObjects) {
    for (const data::EngineObject& object : contents.document->engineObjects->objects)
      list.objects.push_back({object.kind, object.name, object.table, object.detail});
  }
  const zip::MemberStat* copy = Find(reader, contents, kNativeBackupMember);
  if (copy == nullptr || contents.info.mode != bmDirectCopy) return list;
  if (contents.info.provider != dpSQLServer) {
    list.unlisted = "the code of a direct copy of a file database is not listed";
    return list;
  }
  const fs::path extracted = work.File("native.copy");
  reader.Extract(*copy, extracted);
  try {
    for (data::CodeObject& object : data::ListDirectCopyCode(dpSQLServer, extracted))
      list.objects.push_back({std::move(object.kind), std::move(object.name), {}, {}});
  } catch (const Error& error) {
    list.unlisted = error.Description();
  }
  fs::remove(extracted);
  return list;
}

VerifyReport VerifyBackup(const std::string& path, const VerifyProgress& progress,
                          const std::vector<std::string>& tablesWithoutData, const std::string& password,
                          const std::string& copyPassword) {
  VerifyReport report;
  Findings findings(report);
  std::optional<zip::ArchiveReader> reader;
  try {
    reader.emplace(path, zip::UnpackLimits{}, password);
    reader->RequirePassword();
  } catch (const Error& error) {
    if (error.Number() == kArchivePassword) throw;
    report.layout = error.Number() == zip::kNotZipArchive ? BackupLayout::kNotBackup : BackupLayout::kCurrent;
    findings.Add({}, {}, 0, error.Description());
    return report;
  }
  CheckFolder work;
  Contents contents;
  try {
    ReadContents(*reader, work, contents);
  } catch (const Error& error) {
    report.layout = BackupLayout::kCurrent;
    findings.Add(kDocumentMember, {}, 0, error.Description());
    return report;
  }
  report.layout = contents.info.layout;
  if (report.layout == BackupLayout::kOlder) {
    findings.Add({}, {}, 0,
                 "the file is a backup of an older layout, without a backup document or mode member");
    return report;
  }

  const backupfile::BackupDocument* document = contents.document ? &*contents.document : nullptr;
  NumberForm plain, money;
  if (document != nullptr) {
    plain.decimal = document->decimalSeparator.value_or(".");
    plain.thousands = document->thousandSeparator.value_or("");
    money.decimal = document->monetaryDecimalSeparator.value_or(plain.decimal);
    money.thousands = document->monetaryThousandSeparator.value_or(plain.thousands);
  }
  const bool direct = contents.info.mode == bmDirectCopy;
  if (!direct && document == nullptr) findings.Add(kDocumentMember, {}, 0, "the backup document is missing");
  if (document != nullptr) CheckColumnSizes(*document, findings);
  if (document != nullptr) CheckEngineObjects(*document, findings);
  if (direct && Find(*reader, contents, kNativeBackupMember) == nullptr)
    findings.Add(kNativeBackupMember, {}, 0, "the engine's copy of the database is missing");

  std::uint64_t total = 0, done = 0;
  for (const zip::MemberStat& member : reader->Members()) total += member.size;
  auto report_progress = [&](const std::string& item) {
    if (progress) progress(item, total == 0 ? 100 : static_cast<int>(done * 100 / total));
  };

  const fs::path dataPath = work.File("data");
  for (std::size_t i = 0; i < reader->Members().size(); ++i) {
    const zip::MemberStat& member = reader->Members()[i];
    const BackupMember& described = contents.info.members[i];
    if (member.folder) continue;
    report_progress(described.role == MemberRole::kTableData ? described.table : member.name);
    ++report.membersChecked;
    try {
      if (described.role == MemberRole::kTableData) {
        reader->Extract(member, dataPath);
      } else if (described.role == MemberRole::kNativeCopy &&
                 data::DirectCopyHeaderBytes(contents.info.provider.value_or(dpUnknown)) > 0) {
        reader->Extract(member, dataPath);
        CheckNativeCopy(*contents.info.provider, dataPath, member, copyPassword, findings, report);
      } else {
        reader->Read(member, [](const char*, std::size_t) {});
      }
    } catch (const Error& error) {
      findings.Add(member.name, described.table, 0, error.Description());
      done += member.size;
      continue;
    }
    done += member.size;
    if (const backupfile::TableEntry* table = contents.memberTables[i]) {
      CheckTableData(dataPath, *table, plain, money, findings, report);
      ++report.tablesChecked;
    }
    std::error_code ignored;
    fs::remove(dataPath, ignored);
  }
  std::size_t marked = 0;  // tables the backup marks as saved without their rows
  for (const BackupTable& table : contents.info.tables) {
    if (table.fileName.empty() || table.dataPresent) continue;
    if (!table.dataSaved) {
      ++marked;
      continue;
    }
    bool withoutData = false;
    for (const std::string& name : tablesWithoutData) withoutData |= text::EqualsNoCase(name, table.name);
    if (withoutData)
      report.notes.push_back("table " + table.name + " was saved without its rows: it has no data file");
    else
      findings.Add(table.fileName, table.name, 0, "the table's data file " + table.fileName + " is missing",
                   true);
  }
  if (marked != 0)
    report.notes.push_back(std::to_string(marked) + (marked == 1 ? " table was" : " tables were") +
                           " saved without rows (structure only), as the backup marks");
  if (progress) progress({}, 100);
  return report;
}

}  // namespace vela
