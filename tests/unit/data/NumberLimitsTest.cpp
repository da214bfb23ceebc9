// Numbers at and past the ends of their ranges: each gives a type mismatch that names it, never a value
// that wrapped round.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/data/Canonical.h"
#include "platform/data/sqlite/JetDefaults.h"
#include "support/Failure.h"
#include "velabackup/Error.h"
#include "velabackup/data/Value.h"

namespace vela::data {
namespace {

using ::testing::HasSubstr;

using vela::testing::Failure;

TEST(NumberLimits, AsIntRefusesNumbersOutsideTheWholeNumbers) {
  Error huge = Failure([] { Value(1e300).AsInt(); });
  EXPECT_EQ(huge.Number(), kTypeMismatch);
  EXPECT_THAT(huge.Description(), HasSubstr("1e+300"));
  EXPECT_EQ(Failure([] { Value(std::nan("")).AsInt(); }).Number(), kTypeMismatch);
  EXPECT_EQ(Failure([] { Value(-std::numeric_limits<double>::infinity()).AsInt(); }).Number(), kTypeMismatch);
  EXPECT_EQ(Failure([] { Value(9223372036854775808.0).AsInt(); }).Number(), kTypeMismatch);
  EXPECT_EQ(Failure([] { Value(std::string("1e19")).AsInt(); }).Number(), kTypeMismatch);
  // The ends themselves still convert.
  EXPECT_EQ(Value(-9223372036854775808.0).AsInt(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Value(9223372036854774784.0).AsInt(), 9223372036854774784);
  EXPECT_EQ(Value(std::string("9.2233720368547748e18")).AsInt(), 9223372036854774784);
  EXPECT_EQ(Value(2.5).AsInt(), 2);
}

TEST(NumberLimits, AutomationDatesOutsideTheYearsOneTo9999AreRefused) {
  EXPECT_EQ(DateFromOleDays(0), "1899-12-30 00:00:00");
  EXPECT_EQ(DateFromOleDays(-1.5), "1899-12-29 12:00:00");
  EXPECT_EQ(DateFromOleDays(-693593), "0001-01-01 00:00:00");
  EXPECT_EQ(DateFromOleDays(2958465.5), "9999-12-31 12:00:00");
  for (double days : {1e23, -1e23, 2958466.0, 2958465.999999999, -693594.0, std::nan(""),
                      std::numeric_limits<double>::infinity()}) {
    Error e = Failure([&] { DateFromOleDays(days); });
    EXPECT_EQ(e.Number(), kTypeMismatch) << days;
  }
  EXPECT_THAT(Failure([] { DateFromOleDays(1e23); }).Description(), HasSubstr("1e+23"));
}

TEST(NumberLimits, ADateDefaultThatIsNoDateIsRefusedByName) {
  EXPECT_EQ(sqlite::EngineDefault("2", adDate), "'1900-01-01 00:00:00'");
  const std::string defaults[] = {"100000000000000000000000", "-100000000000000000000000",
                                  std::string(400, '9')};
  for (const std::string& text : defaults) {
    Error e = Failure([&] { sqlite::EngineDefault(text, adDate); });
    EXPECT_EQ(e.Number(), kTypeMismatch) << text;
    EXPECT_THAT(e.Description(), HasSubstr("of a Date/Time column is no date")) << text;
  }
  Error e = Failure([] { sqlite::EngineDefault("100000000000000000000000", adDate); });
  EXPECT_THAT(e.Description(), HasSubstr("100000000000000000000000"));
}

}  // namespace
}  // namespace vela::data
