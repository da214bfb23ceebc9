// Which tables a Save backs up and a Restore brings back.
#pragma once

#include <string>
#include <vector>

namespace vela {

struct TableChoice {
  // Patterns of the tables to take (empty: every table) and of the tables to leave out. A pattern is a
  // table's name with the wildcards * and ?; on a server database it may name the schema too
  // ("sales.*"). A pattern that matches no table fails the operation.
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  // Structure only: no table's rows are saved or restored.
  bool schemaOnly = false;

  // Whether some tables are chosen by name (a restore then replaces only those in an existing target).
  bool ChoosesTables() const { return !include.empty() || !exclude.empty(); }
};

}  // namespace vela
