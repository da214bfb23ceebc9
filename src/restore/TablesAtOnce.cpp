// Tables at once: a restore into a new server database makes and fills several tables at the same time, each
// on a connection of its own to the database built aside. The database is dropped whole when the restore
// fails or is cancelled, so tables committed on other connections leave nothing half-made behind; the
// foreign keys and the engine objects that come after the tables see them all on the restore's own
// connection. The jobs make their tables one at a time (the names of a table's schema and objects are
// found free before they are taken), and fill and index them at once.
//
// Each entry is restored by a restorer of its own, on whichever job takes it. Its events are raised on the
// caller's thread in the entries' order (OrderedJobs), and what it leaves to tell (indexes left out,
// values held otherwise, damaged rows) is taken over in the same order, so the host hears the same as it
// does from one job.
#include <algorithm>
#include <mutex>

#include "component/OrderedJobs.h"
#include "component/Procedure.h"
#include "platform/zip/ArchiveReader.h"
#include "restore/Restore.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

Restorer::Restorer(const Restorer& main, Operation& operation,
                   std::shared_ptr<const zip::ArchiveReader> archive)
    : operation_(operation), m_BackupMode(main.m_BackupMode), m_Role(main.m_Role) {
  m_Provider = main.m_Provider;
  m_RestoreFolder = main.m_RestoreFolder;
  m_Archive = std::move(archive);
  m_Members = main.m_Members;
  m_DataFolder = main.m_DataFolder;
  m_RowsLeftOut = main.m_RowsLeftOut;
  m_Placing = main.m_Placing;
  m_IntelligentTableStructure = main.m_IntelligentTableStructure;
  m_SameEngine = main.m_SameEngine;
  m_MadeTables = main.m_MadeTables;
}

void Restorer::TakeOver(const Restorer& entry) {
  m_IndexesLeftOut += entry.m_IndexesLeftOut;
  m_HeldOtherwise += entry.m_HeldOtherwise;
  m_ObjectsLeftOut += entry.m_ObjectsLeftOut;
  m_CorruptionFound = m_CorruptionFound || entry.m_CorruptionFound;
  m_MadeAsWritten.insert(entry.m_MadeAsWritten.begin(), entry.m_MadeAsWritten.end());
}

std::size_t Restorer::TablesAtOnce(const std::vector<TableItem>& items) const {
  if (m_Provider != dpSQLServer || m_Placing != Placing::kAside || m_Aside.empty() || !m_Archive) return 1;
  const auto tables = static_cast<std::size_t>(
      std::count_if(items.begin(), items.end(), [](const TableItem& item) { return item.entry->IsTable(); }));
  return std::min(m_Jobs, tables);
}

bool Restorer::RestoreTablesAtOnce(Procedure& at, const std::vector<TableItem>& items,
                                   const backupfile::BackupDocument& document,
                                   const TableSettings& settings) {
  // What a job works with, opened before the jobs start and closed once every job has stopped.
  struct Job {
    std::shared_ptr<const zip::ArchiveReader> archive;
    RestorationObjects objects;
  };
  // An entry's restorer, and where its work stood when it failed.
  struct Done {
    std::unique_ptr<Restorer> restorer;
    Procedure at{"RestoreTables", 0};
  };
  TableSettings shared = settings;
  std::mutex making;
  shared.making = &making;
  // A server that takes no more sessions (its connection limit reached) gets fewer jobs; with none, the
  // restore's own connection makes the tables one by one.
  const std::size_t count = TablesAtOnce(items);
  std::vector<Job> jobs(count);
  std::size_t opened = 0;
  for (; opened < count; ++opened) {
    try {
      InitializeRestorationObjects(m_Aside, jobs[opened].objects);
      jobs[opened].archive = m_Archive->Reopen();
    } catch (const Error&) {
      break;
    }
  }
  auto close = [&] {
    for (Job& job : jobs) {
      job.objects.catalog.reset();
      if (job.objects.connection) job.objects.connection->Close();
    }
  };
  if (opened == 0) {
    close();
    return false;
  }
  std::vector<Done> done(items.size());
  OrderedJobs work(operation_, items.size(), opened,
                   [&](std::size_t item, std::size_t job, Operation& operation, utils::ByteSink&) {
                     Job& own = jobs[job];
                     Done& entry = done[item];
                     entry.restorer.reset(new Restorer(*this, operation, own.archive));
                     entry.restorer->RestoreEntry(entry.at, *items[item].entry, items[item].percent, document,
                                                  shared, *own.objects.connection, *own.objects.catalog);
                   });
  for (std::size_t item = 0; item < items.size(); ++item) {
    try {
      if (!work.Take(item, nullptr)) break;
    } catch (...) {
      // The failure names the statement of the entry's work it stopped at, as with one job.
      if (done[item].at.Line() != 0) at = done[item].at;
      throw;
    }
    TakeOver(*done[item].restorer);
    done[item].restorer.reset();
  }
  work.Stop();
  close();
  return true;
}

}  // namespace vela
