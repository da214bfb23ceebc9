#include "Login.h"

#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "Commands.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/Error.h"
#include "velabackup/Utils.h"

namespace vela::cli {
namespace {

constexpr const char* kFileProvider = "Microsoft.Jet.OLEDB.4.0";

// The key the engine reads the password of a connection string from.
const char* PasswordKey(bool server) {
  return server ? "Password" : "Jet OLEDB:Database Password";
}

}  // namespace

std::string ReadPasswordFile(const std::string& path, const std::string& option) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw UsageError(option + ": cannot read " + path);
  std::string password((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // Only the line end goes: blanks may belong to the password.
  std::size_t end = password.find_first_of("\r\n");
  if (end != std::string::npos) password.resize(end);
  if (password.empty()) throw UsageError(option + ": " + path + " holds no password on its first line");
  return password;
}

namespace {

bool Terminal() {
  return ::isatty(STDIN_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0;
}

// Reads one line from the terminal without showing it.
std::string PromptHidden(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  termios saved{};
  bool restore = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  std::getline(std::cin, line);
  if (restore) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

void WarnOfPasswordOnCommandLine(bool server) {
  std::cerr << "velabackup: warning: the password on the command line is shown to every user of this "
               "computer (ps); give it with --password-file"
            << (server ? " or PGPASSWORD" : "") << " instead\n";
}

std::string ExpandConnection(const std::string& text, bool& passwordInside) {
  passwordInside = false;
  std::optional<std::string> expanded;
  try {
    expanded = data::ConnectionStringFromShortForm(text);
  } catch (const Error& error) {
    throw UsageError("-c: " + error.Description());
  }
  if (expanded) {
    passwordInside = data::RemovePasswords(*expanded) != *expanded;
    return *expanded;
  }
  if (text.find('=') == std::string::npos) {
    if (text.empty()) throw UsageError("-c: no database given");
    return Utils().SetKeyValue(std::string("Provider=") + kFileProvider, "Data Source", text, ";");
  }
  passwordInside = data::RemovePasswords(text) != text;
  return text;
}

Login::Login(const std::string& connection, const std::string& passwordFile) {
  bool passwordInside = false;
  connectionString_ = ExpandConnection(connection, passwordInside);
  server_ = data::ProviderEngine(Utils().KeyValue(connectionString_, "Provider", ";")) == dpSQLServer;
  if (passwordInside) {
    WarnOfPasswordOnCommandLine(server_);
    password_ = Utils().KeyValue(connectionString_, PasswordKey(server_), ";");
  }
  if (!passwordFile.empty()) SetPassword(ReadPasswordFile(passwordFile, "--password-file"));
}

void Login::SetPassword(const std::string& password) {
  password_ = password;
  connectionString_ = Utils().SetKeyValue(connectionString_, PasswordKey(server_), password, ";");
}

std::string Login::Shown() const {
  Utils utils;
  if (!server_) return utils.KeyValue(connectionString_, "Data Source", ";");
  return "database \"" + utils.KeyValue(connectionString_, "Initial Catalog", ";") + "\" on server " +
         utils.KeyValue(connectionString_, "Data Source", ";");
}

std::unique_ptr<data::Connection> Login::Open(bool maintenance) {
  for (bool prompted = false;; prompted = true) {
    try {
      return data::OpenConnection(maintenance ? data::MaintenanceConnectionString(connectionString_)
                                              : connectionString_);
    } catch (const Error& error) {
      // A password libpq found by itself (PGPASSWORD, ~/.pgpass) was given as well as one of ours.
      bool given = HasPassword() || std::getenv("PGPASSWORD") != nullptr;
      if (!server_ || prompted || error.Number() != kAuthenticationFailed) throw;
      if (!given && !Terminal()) {
        // The likely cause: a login that needs a password, and none came from anywhere.
        Error named = error;
        named.AppendToDescription(
            "\nNo password was given: give it with --password-file FILE or PGPASSWORD (or ~/.pgpass), or "
            "run on a terminal to be asked for it.");
        throw named;
      }
      if (given) throw;
      std::string user = Utils().KeyValue(connectionString_, "UserID", ";");
      SetPassword(PromptHidden("Password" + (user.empty() ? std::string() : " for " + user) + ": "));
    }
  }
}

void Login::Check() {
  if (server_) Open(true)->Close();
}

std::string ArchivePassword(const std::string& passwordFile, const std::string& backupFile,
                            const std::string& fallback, bool prompt) {
  if (!passwordFile.empty()) return ReadPasswordFile(passwordFile, "--archive-password-file");
  if (!fallback.empty() || !prompt || !Terminal()) return fallback;
  try {
    if (!InspectBackup(backupFile).locked) return {};
  } catch (const Error&) {
    return {};  // the operation itself says what is wrong with the file
  }
  return PromptHidden("Password of the backup file " + backupFile + ": ");
}

}  // namespace vela::cli
