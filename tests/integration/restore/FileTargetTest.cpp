// What a restore does to the file it replaces: a direct copy is checked before it goes in, the target keeps
// its mode, owner, link and protection, and what a killed restore left beside it is taken away next time.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Sample.h"
#include "support/Archives.h"
#include "support/Databases.h"
#include "support/EventRecorder.h"
#include "support/Failure.h"
#include "support/ServiceDoubles.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

namespace fs = std::filesystem;
using namespace data;
using testing::FileDatabase;
using ::testing::HasSubstr;
using testing::TempFolder;

// Work folders go to a folder of the test, where the leftovers of a killed restore can be counted.
class LocalTemp : public Utils {
 public:
  explicit LocalTemp(std::string folder) : folder_(std::move(folder)) {}
  std::string TempFolder() const override { return folder_; }

 private:
  std::string folder_;
};

class FileTarget : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(temp_);
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&events_);
  }
  // A backup of the sample database, protected with `password` when one is given.
  void MakeBackup(BackupModeEnum mode, const std::string& password = {}) {
    std::string source = FileDatabase(folder_ / "source.db");
    if (!password.empty()) source += ";Jet OLEDB:Database Password=" + password;
    fs::remove(folder_ / "source.db");
    cli::MakeSampleDatabase(source, 300);
    auto connection = OpenConnection(source);
    CBackup saver;
    saver.SetBackupMode(mode);
    ASSERT_TRUE(saver.Save(*connection, archive_));
  }
  // Spoils the first bytes of every page but the first of the direct copy, and writes the archive again
  // with checksums that fit: the archive is sound, the database in it is not.
  void DamagePages() {
    testing::Members members = testing::ReadArchive(archive_);
    std::string& copy = members.at(kNativeBackupMember);
    ASSERT_GT(copy.size(), 3 * 4096u);
    for (std::size_t page = 4096; page < copy.size(); page += 4096) copy.replace(page + 8, 24, 24, '\x5a');
    testing::WriteArchive(archive_, members);
  }
  void MakeExistingTarget(const std::string& password = {}) {
    fs::remove(target_);
    std::string cs = FileDatabase(target_);
    if (!password.empty()) cs += ";Jet OLEDB:Database Password=" + password;
    CreateDatabase(cs);
    auto target = OpenConnection(cs);
    target->Execute("CREATE TABLE [Mine] ([Keep] INTEGER)");
    target->Execute("INSERT INTO [Mine] VALUES (42)");
  }
  bool TargetIsMine(const std::string& password = {}) const {
    std::string cs = FileDatabase(target_);
    if (!password.empty()) cs += ";Jet OLEDB:Database Password=" + password;
    auto target = OpenConnection(cs);
    auto rows =
        target->OpenRecordset("SELECT [Keep] FROM [Mine]", adOpenForwardOnly, adLockReadOnly, adUseServer);
    return !rows->Eof() && rows->GetValue(std::size_t{0}).AsInt() == 42;
  }
  // The rows of the sample's table Measurements in a restored database.
  static std::int64_t Measurements(const std::string& connectionString) {
    auto restored = OpenConnection(connectionString);
    auto rows = restored->OpenRecordset("SELECT COUNT(*) FROM [Measurements]", adOpenForwardOnly,
                                        adLockReadOnly, adUseServer);
    return rows->GetValue(std::size_t{0}).AsInt();
  }
  // The names in a folder that hold `part`.
  static std::vector<std::string> Named(const fs::path& folder, const std::string& part) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().filename().string().find(part) != std::string::npos)
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  const std::vector<std::string> Messages(const char* guid) const {
    std::vector<std::string> prompts;
    for (const auto& message : events_.messages)
      if (message.guid == guid) prompts.push_back(message.prompt);
    return prompts;
  }

  TempFolder folder_;
  std::string archive_ = folder_ / "backup.zip";
  std::string target_ = folder_ / "target.db";
  std::string temp_ = folder_ / "temp";
  std::shared_ptr<Services> services_ = SystemServices(std::make_shared<LocalTemp>(temp_));
  CBackup backup_{services_};
  testing::EventRecorder events_;
};

// A direct copy whose pages are damaged behind a sound archive never replaces the target, plain or
// protected, and verify calls it damaged; an encrypted copy is checked when its password is given.
TEST_F(FileTarget, ADamagedDirectCopyIsRefusedBeforeItReplacesAnything) {
  for (const std::string password : {"", "pa55"}) {
    SCOPED_TRACE(password);
    MakeBackup(bmDirectCopy, password);
    ASSERT_TRUE(VerifyBackup(archive_, {}, {}, {}, password).Sound());
    DamagePages();
    MakeExistingTarget(password);
    std::string connection = FileDatabase(target_);
    if (!password.empty()) connection += ";Jet OLEDB:Database Password=" + password;
    const Error error = testing::Failure([&] { backup_.Restore(connection, archive_); });
    EXPECT_THAT(error.Description(), HasSubstr("The direct copy in the backup is damaged"));
    EXPECT_TRUE(TargetIsMine(password));
    EXPECT_THAT(Named(folder_.path(), ".restoring-"), ::testing::IsEmpty());

    VerifyReport report = VerifyBackup(archive_, {}, {}, {}, password);
    ASSERT_FALSE(report.Sound());
    EXPECT_EQ(report.problems.at(0).member, kNativeBackupMember);
    EXPECT_THAT(report.problems.at(0).text, HasSubstr("damaged"));
    if (!password.empty()) {
      VerifyReport unkeyed = VerifyBackup(archive_);
      EXPECT_TRUE(unkeyed.Sound());
      EXPECT_THAT(unkeyed.notes, ::testing::Contains(HasSubstr("its pages were not checked")));
    }
  }
}

// The file the restore replaces keeps its mode and (where the process may set it) its owner; a link is
// restored through into the file it names, and stays a link.
TEST_F(FileTarget, AReplacedFileKeepsItsModeOwnerAndLink) {
  for (BackupModeEnum mode : {bmCompressedTextFile, bmDirectCopy}) {
    SCOPED_TRACE(mode);
    MakeBackup(mode);
    MakeExistingTarget();
    ASSERT_EQ(::chmod(target_.c_str(), 0600), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
      ASSERT_EQ(::chown(target_.c_str(), 4321, 4322), 0);
    }
    ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
    struct stat info {};
    ASSERT_EQ(::stat(target_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    if (root) {
      EXPECT_EQ(info.st_uid, 4321u);
      EXPECT_EQ(info.st_gid, 4322u);
    }
    EXPECT_THROW(TargetIsMine(), Error);
  }

  // target.db in folder "real", reached through a link in another folder.
  const fs::path real = folder_.path() / "real";
  fs::create_directory(real);
  MakeExistingTarget();
  fs::rename(target_, real / "target.db");
  fs::create_symlink(fs::path("real") / "target.db", target_);
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
  EXPECT_TRUE(fs::is_symlink(target_));
  EXPECT_EQ(fs::read_symlink(target_), fs::path("real") / "target.db");
  EXPECT_EQ(Measurements(FileDatabase(real / "target.db")), 300);
  EXPECT_THAT(Named(folder_.path(), ".restoring-"), ::testing::IsEmpty());
  EXPECT_THAT(Named(real, ".restoring-"), ::testing::IsEmpty());
}

// A protected target is replaced by a plain file only when the caller allows it; refused, it stays as it
// was and nothing is built.
TEST_F(FileTarget, AProtectedTargetIsNotReplacedByAPlainFileUnlessAllowed) {
  MakeBackup(bmCompressedTextFile);
  MakeExistingTarget("keep-me");
  EXPECT_FALSE(backup_.Restore(FileDatabase(target_), archive_));
  EXPECT_EQ(backup_.LastOutcome().reason, OutcomeReason::kTargetDatabase);
  ASSERT_EQ(Messages(kProtectedTargetGuid).size(), 1u);
  EXPECT_THAT(Messages(kProtectedTargetGuid)[0], HasSubstr(target_));
  EXPECT_TRUE(TargetIsMine("keep-me"));
  EXPECT_TRUE(events_.progress.empty());
  EXPECT_THAT(Named(folder_.path(), ".restoring-"), ::testing::IsEmpty());

  backup_.SetReplaceProtectedWithPlain(true);
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
  EXPECT_EQ(Measurements(FileDatabase(target_)), 300);
}

// A restore killed in the middle leaves its aside file beside the target and its work folder; the next
// restore of that target removes both and says so, but never what a running restore holds or what was
// not made by one.
TEST_F(FileTarget, WhatAKilledRestoreLeftIsRemovedByTheNext) {
  MakeBackup(bmCompressedTextFile);
  MakeExistingTarget();
  const std::string reading = LanguageResources::English()->GetString(41, "Backup");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    testing::EventRecorder killer;
    killer.then = [&](testing::EventRecorder::Kind kind, std::int32_t*) {
      if (kind == testing::EventRecorder::kProgress && killer.progress.back().second == reading)
        ::kill(::getpid(), SIGKILL);
    };
    CBackup restorer(services_);
    restorer.SetLanguageResources(LanguageResources::English());
    restorer.SetEvents(&killer);
    restorer.Restore(FileDatabase(target_), archive_);
    ::_exit(3);  // not reached: the restore was killed
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  const std::vector<std::string> aside = Named(folder_.path(), ".restoring-");
  ASSERT_FALSE(aside.empty());
  const std::vector<std::string> work = Named(temp_, "{");  // the folder and its lock file
  ASSERT_EQ(work.size(), 2u);
  ASSERT_EQ(work[1], work[0] + ".lock");
  EXPECT_TRUE(TargetIsMine());

  // One that a live restore holds, and one no restore marked.
  const fs::path held = folder_.path() / ".target.db.restoring-0badf00d";
  std::ofstream(held) << "held";
  std::ofstream(held.string() + ".lock");
  const int lock = ::open((held.string() + ".lock").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const fs::path unmarked = folder_.path() / ".target.db.restoring-00c0ffee";
  std::ofstream(unmarked) << "not ours";

  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
  const std::vector<std::string> notices = Messages(kLeftoversRemovedGuid);
  ASSERT_EQ(notices.size(), 1u);
  for (const std::string& name : aside)
    if (name.find(".lock") == std::string::npos) {
      EXPECT_THAT(notices[0], HasSubstr(name));
    }
  EXPECT_THAT(notices[0], HasSubstr(work[0]));
  EXPECT_THAT(notices[0], ::testing::Not(HasSubstr("0badf00d")));
  EXPECT_THAT(notices[0], ::testing::Not(HasSubstr("00c0ffee")));
  EXPECT_THAT(Named(folder_.path(), ".restoring-"),
              ::testing::ElementsAre(".target.db.restoring-00c0ffee", ".target.db.restoring-0badf00d",
                                     ".target.db.restoring-0badf00d.lock"));
  EXPECT_THAT(Named(temp_, "{"), ::testing::IsEmpty());
  ::close(lock);

  // Once its maker let go, the held one goes too; the unmarked one never does.
  events_.Clear();
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
  ASSERT_EQ(Messages(kLeftoversRemovedGuid).size(), 1u);
  EXPECT_THAT(Named(folder_.path(), ".restoring-"), ::testing::ElementsAre(".target.db.restoring-00c0ffee"));
  events_.Clear();
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
  EXPECT_THAT(Messages(kLeftoversRemovedGuid), ::testing::IsEmpty());
}

}  // namespace
}  // namespace vela
