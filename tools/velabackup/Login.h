// The database a command works on: the forms -c takes and where its password comes from.
//
// -c takes a full connection string (any text holding "="), a postgresql:// (or postgres://) URL for the
// server engine, or else the path of a SQLite file for the file engine. The server provider reads the URL
// with libpq's own parser, so it means what it means to psql: user, password, host, port and database,
// percent-decoded.
// A host left out of the URL is the local server as libpq finds it without one (PGHOST, else its socket
// folder); "localhost" is a TCP connection; a host starting with "/" (written %2F) is a socket folder.
// Query parameters have no place in a connection string and are refused, as are several hosts.
//
// The password: --password-file, else one written into -c (which draws a warning: `ps` shows the command
// line to every user), else for the server engine what libpq finds by itself (PGPASSWORD, ~/.pgpass), and
// last, on a terminal, a prompt when the server refuses the login for want of one.
#pragma once

#include <memory>
#include <string>

#include "velabackup/data/Connection.h"

namespace vela::cli {

class Login {
 public:
  // Reads -c and --password-file (empty: none); a form that cannot be read is a UsageError.
  Login(const std::string& connection, const std::string& passwordFile);

  // The full connection string, with the password when one was given.
  const std::string& ConnectionString() const { return connectionString_; }
  bool ServerEngine() const { return server_; }
  bool HasPassword() const { return !password_.empty(); }
  // The password given (file databases: the database password), empty when none was.
  const std::string& Password() const { return password_; }
  // The database as messages may show it: no password in it.
  std::string Shown() const;

  // Opens a connection (to the server's maintenance database when `maintenance`), prompting once for a
  // password on a terminal when the server wants one and none was given.
  std::unique_ptr<data::Connection> Open(bool maintenance = false);
  // For the server engine, makes sure the login is accepted before an operation that opens its own
  // connections; file databases need no such check.
  void Check();

 private:
  void SetPassword(const std::string& password);

  std::string connectionString_;
  std::string password_;
  bool server_ = false;
};

// The warning that a password written on the command line (in -c, or --db-password) is shown to every
// user of this computer; `server`: the server engine, whose login may come from PGPASSWORD as well.
void WarnOfPasswordOnCommandLine(bool server);
// The first line of a password file, named in errors after the option that gave it.
std::string ReadPasswordFile(const std::string& path, const std::string& option);

// The password of a backup file: from --archive-password-file when given, else `fallback` (a restore: the
// password given for the new file database), else, with `prompt`, asked for on a terminal when the backup
// file is encrypted. Empty when there is none.
std::string ArchivePassword(const std::string& passwordFile, const std::string& backupFile,
                            const std::string& fallback, bool prompt);

// The connection string a -c value stands for, before any password from elsewhere is added. Sets
// `passwordInside` when the text itself holds a password.
std::string ExpandConnection(const std::string& text, bool& passwordInside);

}  // namespace vela::cli
