// A backup file that travels through a pipe: `-f -` names standard output for a save and standard input
// for restore, inspect and verify.
//
// The archive is not streamed: a save writes the whole backup file into a private spool folder (mode 0700,
// in the temporary folder, TMPDIR) and copies it to standard output once it is complete, so that the pipe
// gets the very zip a file gets, or nothing when the save fails or is cancelled; a restore, inspect or
// verify copies standard input into the spool folder first and reads that file (the backup document is
// packed last, so nothing could be restored before the end of the stream anyway). Both copy in chunks, and
// the spool folder goes on every path out: done, failed, cancelled, and a second Ctrl-C.
#pragma once

#include <string>

namespace vela::cli {

// `-f -`: the backup file is standard output (save) or standard input (the others).
inline bool IsStandardStream(const std::string& file) {
  return file == "-";
}

class Spool {
 public:
  Spool() = default;
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // The path a save writes the backup file to before it goes to standard output. Refuses (UsageError) a
  // standard output that is a terminal.
  std::string ForOutput();
  // Copies the backup file written to ForOutput's path to standard output. A reader that went away
  // (EPIPE) or any other write failure throws std::runtime_error.
  void SendToOutput();
  // Copies standard input into the spool folder and returns the file's path. Refuses (UsageError) a
  // standard input that is a terminal; a read failure throws std::runtime_error.
  std::string FromInput();
  // The path for a command's -f: the file itself, or for `-` the spool's copy of standard input.
  std::string Input(const std::string& file) { return IsStandardStream(file) ? FromInput() : file; }

 private:
  std::string File();

  std::string folder_;
};

}  // namespace vela::cli
