#include "engine/date_offsets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/markup_sql.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "platform/clock.h"
#include "support/process_values.h"

using namespace nv;

namespace {

class DateOffsets : public ::testing::Test {
 protected:
  void SetUp() override { nv::test::ResetProcessValues(); }

  // The value DateMemoryValueSet(text) gives the variable, checked against the clock read
  // before and after the call (the date may turn meanwhile).
  void ExpectOffset(const std::string& text, const std::string& name, int days) {
    const std::string before = FormatDate(AddDays(LocalNow(), days));
    DateMemoryValueSet(text);
    const std::string after = FormatDate(AddDays(LocalNow(), days));
    ASSERT_GE(Memory.IndexOfName(name), 0) << name;
    const std::string value = Memory.GetValue(name);
    EXPECT_TRUE(value == before || value == after) << name << " = " << value;
  }
};

TEST_F(DateOffsets, DayCountsAsWritten) {
  struct Case {
    std::string n;
    int days;
  };
  const std::vector<Case> cases = {
      {"7", 7},    {"-1", -1}, {"0", 0},           {"+3", 3},         {"x", 0},
      {"", 0},     {" 7", 7},  {"7 ", 0},          {"$10", 16},       {"%101", 5},
      {"&17", 15}, {"1.5", 0}, {"99999999999", 0}, {"2147483648", 0}, {"-366", -366},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("[" + c.n + "]");
    Memory.Clear();
    ExpectOffset("SELECT '『今日+" + c.n + "』';", "今日+" + c.n, c.days);
    EXPECT_EQ(Memory.GetCount(), 1u);  // nothing but the variable itself
  }
}

TEST_F(DateOffsets, EachSpellingIsItsOwnVariable) {
  ExpectOffset("『今日+7』 『今日+07』 『今日+7』", "今日+7", 7);
  ExpectOffset("", "今日+07", 7);
  EXPECT_EQ(Memory.GetCount(), 2u);
}

TEST_F(DateOffsets, ASpellingThatDiffersInCaseOnlyIsTheSameVariable) {
  ExpectOffset("『今日+x』 『今日+X』 『今日+ｘ』 『今日+Ｘ』", "今日+x", 0);
  EXPECT_EQ(Memory.GetCount(), 2u);  // 今日+x and 今日+ｘ
  // Memory markers ignore case as well, so every spelling reads the one value.
  TRequest req;
  TPageRequestState state;
  state.ARequest = &req;
  const std::string x = Memory.GetValue("今日+x"), fx = Memory.GetValue("今日+ｘ");
  EXPECT_EQ(Inset(state, "『今日+X』『今日+Ｘ』", ""), x + fx);
}

TEST_F(DateOffsets, AValueTheRequestAlreadyHasIsKept) {
  Memory.SetValue("今日+7", "2000-01-01");  // an earlier phase, or a column of that name
  Memory.SetValue("今日+1", "");            // an empty value counts as none
  DateMemoryValueSet("『今日+7』『今日+1』");
  EXPECT_EQ(Memory.GetValue("今日+7"), "2000-01-01");
  EXPECT_EQ(Memory.GetValue("今日+1"), FormatDate(AddDays(LocalNow(), 1)));
  // A later phase of the same request computes nothing again.
  Memory.SetValue("今日+1", "kept");
  DateMemoryValueSet("『今日+1』");
  EXPECT_EQ(Memory.GetValue("今日+1"), "kept");
}

TEST_F(DateOffsets, AnOpenerWithoutCloserEndsTheScan) {
  DateMemoryValueSet("『今日+1』 『今日+2 and 『今日+3");
  EXPECT_GE(Memory.IndexOfName("今日+1"), 0);
  // The second marker runs to the only closer left: none.
  EXPECT_EQ(Memory.GetCount(), 1u);
  Memory.Clear();
  // The name runs to the first closer, whatever stands between: no day count, so today.
  ExpectOffset("『今日+2 『今日+4』", "今日+2 『今日+4", 0);
  EXPECT_EQ(Memory.GetCount(), 1u);
}

TEST_F(DateOffsets, AMarkerLeftWholeByARemovalIsFound) {
  // Removing 『今日+1』 joins "『今" and "日+2』" into a marker of its own.
  DateMemoryValueSet("『今『今日+1』日+2』");
  EXPECT_GE(Memory.IndexOfName("今日+1"), 0);
  EXPECT_GE(Memory.IndexOfName("今日+2"), 0);
}

TEST_F(DateOffsets, FarOffsetsStayWrittenAsDates) {
  DateMemoryValueSet("『今日+2147483647』『今日+-2147483648』");
  EXPECT_EQ(Memory.GetValue("今日+2147483647"), "9999-12-31");
  EXPECT_EQ(Memory.GetValue("今日+-2147483648"), "0001-01-01");
}

TEST_F(DateOffsets, ManyMarkersInOneScript) {
  std::string script;
  for (int i = -500; i <= 500; ++i) script += "『今日+" + std::to_string(i) + "』\r\n";
  ExpectOffset(script, "今日+-500", -500);
  ExpectOffset("", "今日+500", 500);
  EXPECT_EQ(Memory.GetCount(), 1001u);
}

}  // namespace
