// The members of a backup file (a zip archive) with fixed names.
//
//   kDocumentMember      the backup document (XML): the schema and, per table, the name of its data file
//   kModeMember          the backup mode as decimal text (BackupModeEnum)
//   kProviderMember      the source engine as decimal text (DataProvider)
//   kNativeBackupMember  the engine's own copy of the database (direct copies)
//
// A text backup holds the document, the mode and provider members, one table data file per table (named
// "{GUID}", as the document gives it) and the host's additional files. A direct copy holds the mode and
// provider members, the native copy and the additional files. A file that holds neither the document nor
// the mode member is of an older layout.
#pragma once

namespace vela {

inline constexpr const char* kDocumentMember = "{622494E8-4265-4A3E-81A7-8E785532AC06}";
inline constexpr const char* kModeMember = "{77D0C73C-7738-42B6-9E94-1CAD0ECFF1AA}";
inline constexpr const char* kProviderMember = "{E5D9691B-491A-49AC-912F-1F1D28F259FC}";
inline constexpr const char* kNativeBackupMember = "{066C4DE0-84D3-4FB9-B7A2-F24DA4609734}";

}  // namespace vela
