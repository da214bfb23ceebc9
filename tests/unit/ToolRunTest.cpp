// Running the engine's tools: child processes with an argument vector, their lines as they come, an
// environment of their own, a stop that ends them; and the one item of a libpq connection string the
// tools are given, quoted so that a database name stays a name.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/data/postgres/ServerManagement.h"
#include "platform/utils/ChildProcess.h"
#include "velabackup/Error.h"

namespace vela::utils {
namespace {

struct Lines {
  std::vector<std::string> output, error;
  std::function<void(Stream, std::string_view)> Sink() {
    return [this](Stream stream, std::string_view line) {
      (stream == Stream::kOutput ? output : error).emplace_back(line);
    };
  }
};

TEST(ChildProcess, LinesOfBothStreamsTheStatusAndTheChildsOwnEnvironment) {
  Lines lines;
  ChildRun run{{"/bin/sh", "-c", "printf 'one\\ntwo\\r\\nlast'; echo \"$VELA_CHILD_ONLY\" >&2; exit 3"},
               {{"VELA_CHILD_ONLY", "for the child; alone"}}};
  ChildOutcome outcome = RunChild(run, lines.Sink(), {});
  EXPECT_EQ(outcome.exitStatus, 3);
  EXPECT_FALSE(outcome.stopped);
  EXPECT_EQ(lines.output, (std::vector<std::string>{"one", "two", "last"}));
  EXPECT_EQ(lines.error, (std::vector<std::string>{"for the child; alone"}));
  EXPECT_EQ(std::getenv("VELA_CHILD_ONLY"), nullptr);
  // An argument is one argument, whatever it holds.
  Lines echoed;
  RunChild({{"/bin/echo", "a b; rm -rf /", "$HOME"}, {}}, echoed.Sink(), {});
  EXPECT_EQ(echoed.output, (std::vector<std::string>{"a b; rm -rf / $HOME"}));
}

TEST(ChildProcess, AStopEndsAChildThatWouldRunOn) {
  const auto start = std::chrono::steady_clock::now();
  int asked = 0;
  ChildOutcome outcome = RunChild(
      {{"/bin/sh", "-c", "echo started; exec sleep 60"}, {}}, [](Stream, std::string_view) {},
      [&] { return ++asked > 2; });
  EXPECT_TRUE(outcome.stopped);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(ChildProcess, AProgramThatIsNotThereIsAnErrorNamingIt) {
  try {
    RunChild({{"/nonexistent/pg_dump", "--version"}, {}}, [](Stream, std::string_view) {}, {});
    FAIL() << "a missing program ran";
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kPathAccess);
    EXPECT_NE(error.Description().find("/nonexistent/pg_dump"), std::string::npos);
  }
}

TEST(ConninfoItem, ADatabaseNameStaysOneValue) {
  using data::postgres::ConninfoItem;
  EXPECT_EQ(ConninfoItem("dbname", "shop"), "dbname='shop'");
  EXPECT_EQ(ConninfoItem("dbname", "a b host=evil"), "dbname='a b host=evil'");
  EXPECT_EQ(ConninfoItem("dbname", "it's\\"), "dbname='it\\'s\\\\'");
  EXPECT_EQ(ConninfoItem("dbname", ""), "dbname=''");
}

}  // namespace
}  // namespace vela::utils
