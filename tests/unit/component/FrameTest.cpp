// The component frame: failure suffixes, messages, connection strings, the work folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "component/ConnectionStrings.h"
#include "component/Messages.h"
#include "component/Operation.h"
#include "component/Procedure.h"
#include "support/EventRecorder.h"
#include "velabackup/CBackup.h"

namespace vela {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

int Innermost(bool fail) {
  return Trapped("Innermost", [&](Procedure& at) {
    at();
    if (fail) throw Error(kComponentError, "Test::Innermost", "Deep failure");
    return 1;
  });
}

std::uint_least32_t g_middleFailingLine = 0;

int Middle() {
  return Trapped("Middle", [&](Procedure& at) {
    at();
    int value = Innermost(false);
    const auto failing = std::source_location::current();
    g_middleFailingLine = failing.line();
    at(failing);
    value += Innermost(true);
    return value;
  });
}

int Outer() {
  return Trapped("Outer", [&](Procedure& at) {
    at();
    return Middle();
  });
}

TEST(FailureConvention, SuffixesChainInnermostFirstWithTheFailingLines) {
  try {
    Outer();
    FAIL() << "no failure";
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kComponentError);
    EXPECT_EQ(error.Source(), "Test::Innermost");
    const std::string& d = error.Description();
    std::size_t inner = d.find(" (VelaBackup.CBackup.Innermost component failure at line:");
    std::size_t middle = d.find(" (VelaBackup.CBackup.Middle component failure at line:");
    std::size_t outer = d.find(" (VelaBackup.CBackup.Outer component failure at line:");
    ASSERT_EQ(d.rfind("Deep failure", 0), 0u);
    ASSERT_NE(inner, std::string::npos);
    ASSERT_LT(inner, middle);
    ASSERT_LT(middle, outer);
    // Middle failed at its second call, not its first.
    std::string middleLine = d.substr(middle).substr(d.substr(middle).find(':') + 1);
    EXPECT_EQ(static_cast<std::uint_least32_t>(std::stoi(middleLine)), g_middleFailingLine);
    EXPECT_THAT(d, EndsWith(")"));
  }
}

TEST(FailureConvention, ForeignExceptionsBecomeErrors) {
  try {
    Trapped("Convert", [](Procedure&) -> int { throw std::runtime_error("disk on fire"); });
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kGeneralFailure);
    EXPECT_THAT(error.Description(), HasSubstr("disk on fire (VelaBackup.CBackup.Convert component failure"));
  }
}

class Messages : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = GetLanguageResourcesHolder(); }
  void TearDown() override { SetLanguageResourcesHolder(saved_); }
  std::shared_ptr<LanguageResources> saved_;
};

TEST_F(Messages, PlaceholdersAreFilledOnePassPerArgument) {
  auto resources = LanguageResources::Parse("[Backup]\n1={0} and {1} and {0}\n2=plain\n3=line\\nbreak\n");
  SetLanguageResourcesHolder(resources);
  EXPECT_EQ(GetMessageText(1, "A", 5), "A and 5 and A");
  EXPECT_EQ(GetMessageText(2, "A", 5), "plain");
  EXPECT_EQ(GetMessageText(1, "x{1}y", "B"), "xBy and B and xBy");
  EXPECT_EQ(GetMessageText(3), "line\nbreak");
  EXPECT_EQ(GetMessageText(99), "");
}

TEST_F(Messages, NoCatalogueFailsAsACallOnAMissingObject) {
  SetLanguageResourcesHolder(nullptr);
  try {
    GetMessageText(13);
    FAIL();
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kObjectRequired);
    EXPECT_THAT(error.Description(), HasSubstr("LanguageResources"));
  }
}

TEST_F(Messages, CatalogueIsSharedByObjectsOfOneThreadOnly) {
  CBackup first, second;
  auto resources = LanguageResources::Parse("[Backup]\n13=hello\n");
  first.SetLanguageResources(resources);
  EXPECT_EQ(second.GetLanguageResources(), resources);
  std::shared_ptr<LanguageResources> seenElsewhere = resources;
  std::thread([&] { seenElsewhere = CBackup().GetLanguageResources(); }).join();
  EXPECT_EQ(seenElsewhere, nullptr);
}

TEST_F(Messages, EnglishCatalogueHasEveryMessageWithItsPlaceholders) {
  auto english = LanguageResources::English();
  std::vector<int> numbers = {1, 6, 7, 8, 9, 10, 11};
  for (int n = 13; n <= 19; ++n) numbers.push_back(n);
  for (int n = 23; n <= 41; ++n) numbers.push_back(n);
  for (int n : numbers) EXPECT_FALSE(english->GetString(n, "Backup").empty()) << n;
  for (int n : {1, 11, 14, 18, 19, 23, 26, 27, 31, 34, 40})
    EXPECT_THAT(english->GetString(n, "Backup"), HasSubstr("{0}")) << n;
  EXPECT_THAT(english->GetString(23, "Backup"), HasSubstr("{1}"));
}

class FixedComputer : public Utils {
 public:
  std::string ComputerName() const override { return "VelaHost"; }
};

TEST(ConnectionStrings, ProviderMustMatchExactly) {
  Utils utils;
  EXPECT_EQ(GetDBMS(utils, "Provider=SQLOLEDB.1;Data Source=x"), dpSQLServer);
  EXPECT_EQ(GetDBMS(utils, "provider = Microsoft.Jet.OLEDB.4.0 ; Data Source=a.db"), dpAccess);
  for (const char* bad : {"Provider=SQLOLEDB", "Provider=sqloledb.1", "Provider=Microsoft.Jet.OLEDB.3.51",
                          "Data Source=a.db", "", ";;=;"}) {
    try {
      GetDBMS(utils, bad);
      FAIL() << bad;
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), kComponentError);
      EXPECT_EQ(error.Source(), "CBackup::GetDBMS");
      EXPECT_THAT(
          error.Description(),
          ::testing::StartsWith("Unknown Provider (VelaBackup.CBackup.GetDBMS component failure at line:"));
    }
  }
}

TEST(ConnectionStrings, PartsUseTheOneWordUserKey) {
  Utils utils;
  ConnectionParts parts = GetConnectionParts(
      utils, "Data Source=srv,1433;Initial Catalog=shop;User ID=no;UserID=app;Password=pw");
  EXPECT_EQ(parts.dataSource, "srv,1433");
  EXPECT_EQ(parts.initialCatalog, "shop");
  EXPECT_EQ(parts.user, "app");
  EXPECT_EQ(parts.password, "pw");
  ConnectionParts none = GetConnectionParts(utils, "garbage;;==");
  EXPECT_EQ(none.dataSource + none.initialCatalog + none.user + none.password, "");
}

TEST(ConnectionStrings, LocalServerForms) {
  FixedComputer utils;
  for (const char* local :
       {"local", "LOCAL\\inst", "(Local)", "(local)\\SQLEXPRESS", "velahost", "VELAHOST\\i",
        "/run/postgresql", "/tmp/sockets,5433"})
    EXPECT_TRUE(IsLocalServer(utils, local)) << local;
  for (const char* remote :
       {".", "127.0.0.1", "otherhost", "otherhost\\i", "VelaHostX", "(Local)x", "Localx", "host/path"})
    EXPECT_FALSE(IsLocalServer(utils, remote)) << remote;
}

TEST(ConnectionStrings, ListItemsAreCaseBlindButUntrimmed) {
  EXPECT_TRUE(IsInList("Orders.CustomerID", "x;orders.customerid"));
  EXPECT_FALSE(IsInList("Orders.CustomerID", "x; orders.customerid"));
  EXPECT_FALSE(IsInList("a", ""));
  EXPECT_TRUE(IsInList("", "a;;b"));
}

TEST(WorkFolder, PrivateStableNeverReusedAndRemoved) {
  std::string path, next, planted;
  {
    ObjectState state(nullptr);
    WorkFolder& folder = state.workFolder;
    EXPECT_TRUE(folder.Path().empty());
    path = folder.Get();
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_uid, ::geteuid());
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(folder.Get(), path);
    // A folder taken away (or replaced by someone else's, or by a link) is never used again: the next one
    // is new.
    std::filesystem::remove_all(path);
    planted = path;
    std::filesystem::create_directory_symlink("/", planted);
    next = folder.Get();
    EXPECT_NE(next, path);
    EXPECT_TRUE(std::filesystem::is_directory(next));
    folder.Remove();
    EXPECT_FALSE(std::filesystem::exists(next));
    EXPECT_TRUE(folder.Path().empty());
    next = folder.Get();
  }
  EXPECT_FALSE(std::filesystem::exists(next));
  EXPECT_TRUE(std::filesystem::is_symlink(planted));
  std::filesystem::remove(planted);
}

TEST(WorkFolder, TwoObjectsNeverShareOne) {
  ObjectState a(nullptr), b(nullptr);
  EXPECT_NE(a.workFolder.Get(), b.workFolder.Get());
}

TEST(Frame, InitialStateAndSimpleMembers) {
  testing::EventRecorder recorder;
  CBackup backup;
  EXPECT_EQ(backup.BackupMode(), bmCompressedTextFile);
  backup.SetBackupMode(static_cast<BackupModeEnum>(42));
  EXPECT_EQ(backup.BackupMode(), 42);
  backup.SetSQLBackupProgress(7);  // no sink: nothing happens
  backup.SetEvents(&recorder);
  backup.SetSQLBackupProgress(-3);
  ASSERT_EQ(recorder.progress.size(), 1u);
  EXPECT_EQ(recorder.progress[0], std::make_pair(-3, std::string()));
}

}  // namespace
}  // namespace vela
