// Puts the engine's own writes and syncs under the fault countdown of utils::FailNthWrite, so that a test
// of what a full disk does reaches the database files too, not only the files this project writes.
#pragma once

namespace vela::data::sqlite {

// From the first call on, every file the engine opens (databases, journals, temporary files) counts each
// write and each sync with the countdown, and the one it names fails as a full disk or a failed sync
// would. Encryption stays above the counting, so a protected database is counted as well. For tests: the
// counting sits in the engine's default file system for the rest of the process.
void CountEngineWrites();

}  // namespace vela::data::sqlite
