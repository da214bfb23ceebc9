// Backs a small file database up and restores it into a second file.
#include <velabackup/CBackup.h>
#include <velabackup/data/Connection.h>

#include <filesystem>

using namespace vela::data;

int main() {
  const std::string source = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=shop.db";
  const std::string target = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=copy.db";
  std::filesystem::remove("shop.db");  // runs again in the same folder
  CreateDatabase(source);
  auto shop = OpenConnection(source);
  shop->Execute("CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT(50))");
  shop->Execute("INSERT INTO items VALUES (1, 'lamp')");

  vela::CBackup backup;
  backup.SetLanguageResources(vela::LanguageResources::English());
  if (!backup.Save(*shop, "shop.vbk") || !backup.Restore(target, "shop.vbk")) return 1;

  auto copy = OpenConnection(target);
  auto rows = copy->OpenRecordset("SELECT name FROM items", adOpenForwardOnly, adLockReadOnly, adUseClient);
  return !rows->Eof() && rows->GetValue(0).AsText() == "lamp" ? 0 : 1;
}
