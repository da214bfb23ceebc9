// The GUIDs of the component's questions and notices: the `messageGuid` of CBackupEvents::ShowMessage,
// by which a host answers a question without reading its localised text. They never change.
#pragma once

namespace vela {

// Save and restore.
// Notice: keys of the connection string that its provider does not read were ignored.
inline constexpr const char* kUnreadKeysGuid = "{6A6E4F9F-7FDF-4648-8808-85E4CE34919C}";

// Notice: what referred to the tables a save or restore left out (keys, engine objects) was left out too.
inline constexpr const char* kWentWithTablesGuid = "{02B671E3-21F5-471F-A190-9F894BF56E5B}";

// Save.
// Question (Yes/No): a direct copy needs the server's own tools on this computer, and none serve the
// server (missing, or older than it); make a compressed backup instead?
inline constexpr const char* kRemoteDirectCopyGuid = "{66685F35-E98D-45C9-A75D-41E896550869}";
// Notice: rows of a table that look corrupted were written marked as such.
inline constexpr const char* kCorruptedRowsGuid = "{8C4E3CBD-13EC-4E92-8EB5-65D220A0933E}";
// Notice: values a column type cannot hold as stored were saved converted to it.
inline constexpr const char* kConvertedValuesGuid = "{0B794FEA-B32F-4652-8804-3AEE52723951}";

// Removable media (OK/Cancel; Cancel stops the operation).
inline constexpr const char* kFirstDiskGuid = "{61E8BD2C-1EA6-43B7-AE15-11BA79C7BC21}";
inline constexpr const char* kFirstDiskFullGuid = "{27730A94-C4AB-4812-B933-518B07F2998D}";
inline constexpr const char* kNextDiskGuid = "{5024659B-0D51-467B-881F-D5CA2D7B6853}";
inline constexpr const char* kNextDiskFullGuid = "{0DAAA17C-9E05-48A3-805B-C0E25D5FB0F9}";
inline constexpr const char* kLastDiskGuid = "{CF02F0C4-CE7D-45CE-94BD-5BC04AD12481}";
inline constexpr const char* kUnpackDiskGuid = "{927B8A3B-CC14-441C-AC50-BA8669ACC686}";
inline constexpr const char* kUnpackFirstDiskGuid = "{E87C0584-304A-4E1A-825C-A7EA42722820}";

// Restore.
// Notice: the file is no zip archive, or one without members.
inline constexpr const char* kNotBackupGuid = "{D50F8787-7A7E-4039-8AB0-410D19AC100C}";
// Questions (OK/Cancel) for a backup of an older layout, into a file database or a server, and the notice
// naming the folder it was unpacked into.
inline constexpr const char* kOlderLayoutFileGuid = "{D2A2FC11-C46A-42CC-AEE5-676E204F0A26}";
inline constexpr const char* kOlderLayoutServerGuid = "{77419F9D-F177-4746-A547-E4BB58B93EB7}";
inline constexpr const char* kOlderLayoutUnpackedGuid = "{6DE29447-57F8-460B-8197-FED9E5B32AF8}";
// Notice: a direct copy of another kind of database.
inline constexpr const char* kOtherEngineGuid = "{8BC958C2-ECAB-4A9B-9E75-23350D555F20}";
// Notice: the server refused to create, replace or remove a database.
inline constexpr const char* kTargetDatabaseGuid = "{7A29569B-FE02-40CC-8553-E0A147D6B861}";
// Notice: the server's own restore of a direct copy cannot be done (no tools on this computer serve the
// server).
inline constexpr const char* kServerRestoreGuid = "{56685F35-E98D-45C9-A75D-41E896550869}";
// Notices of what the restored database holds otherwise than the backup: engine objects left out, a
// default left out, numbered columns restored as plain numbers.
inline constexpr const char* kObjectsLeftOutGuid = "{2CD12757-4EFF-40B5-ADCF-99FD8CDD4B46}";
inline constexpr const char* kDefaultLeftOutGuid = "{1FB822F8-4D4A-44CD-A290-CD616553B331}";
inline constexpr const char* kPlainNumbersGuid = "{87E48FFA-F726-45CA-AB7E-50D5A9F223AB}";
// Notice: a foreign key the target refused, in a file database or on a server; the restore stops.
inline constexpr const char* kFileKeyRefusedGuid = "{9ACB9C96-03C6-4A06-99CC-F6872C040D78}";
inline constexpr const char* kServerKeyRefusedGuid = "{8CD86E77-D79F-49B4-8D2E-492F5303F7E5}";
// Notice: what restores that did not finish left behind (marked as theirs, their maker gone) was removed.
inline constexpr const char* kLeftoversRemovedGuid = "{3F6C2B1E-8D4A-4E57-9B0C-6A1D2E7F4C85}";
// Notice: tables of other server schemas than public restored into a file database under "schema.table".
inline constexpr const char* kQualifiedNamesGuid = "{6A4F25F7-208F-4E02-98FF-AD98C6DDC2FC}";
// Notice: by table, the column types and values another engine holds otherwise than the backup (a server
// type a file database does not have, a text with NUL, a date the server cannot read).
inline constexpr const char* kHeldOtherwiseGuid = "{C3E1F6A2-5B7D-4E90-8A2C-1D4F7B9E0A63}";
// Notice: a protected target file would be replaced by a plain one; the restore is refused.
inline constexpr const char* kProtectedTargetGuid = "{B5E0A7D2-31C9-4F6E-8A14-7C2D9E05F3B8}";
// Notice: a restore into an existing database cannot make room for what it restores (objects of others,
// or objects that depend on what it replaces, named); nothing is changed and the restore is refused.
inline constexpr const char* kInPlaceBlockedGuid = "{4D8E2A61-9C3F-4B7A-A5E0-2F61C8D93B47}";

}  // namespace vela
