#include "engine/markup_sql.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "auth/cipher.h"
#include "db/sqlite_db.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "platform/process.h"
#include "support/process_values.h"

using namespace nv;

namespace {

using Fields = std::vector<std::string>;  // "name=value" lines, in posting order

class InsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nv::test::ResetProcessValues();
    state.ARequest = &req;
    state.SQLexecFirst = false;  // the once-per-request step has its own tests
  }

  std::string Run(std::string_view line, std::string_view row = "") {
    return Inset(state, line, row);
  }
  void Post(const Fields& fields) {
    for (const auto& f : fields) req.ContentFields().Add(f);
  }
  void Query(const Fields& fields) {
    for (const auto& f : fields) req.QueryFields.Add(f);
  }
  std::optional<std::string> MemoryValue(const std::string& name) const {
    if (Memory.IndexOfName(name) < 0) return std::nullopt;
    return Memory.GetValue(name);
  }

  TRequest req;
  TPageRequestState state;
};

// ---------------------------------------------------------------------------------------------
// Request markers

struct LookupCase {
  const char* what;
  std::string row;
  Fields posted, query;
  std::string expect;
  std::optional<std::string> previous;  // 前:数量 afterwards; nullopt: not written
};

TEST_F(InsetTest, RequestMarkerTriesRowFieldThenPostedThenQuery) {
  const std::vector<LookupCase> cases = {
      {"posted wins over query", "", {"数量=1"}, {"数量=9"}, "x=1", std::nullopt},
      {"empty posted falls to query", "", {"数量="}, {"数量=9"}, "x=9", std::nullopt},
      {"nothing at all", "", {}, {}, "x=", std::nullopt},
      {"row field first", ":3", {"数量=1", "数量:3=5"}, {"数量=9"}, "x=5", "5"},
      {"empty row field falls to posted", ":3", {"数量:3=", "数量=1"}, {"数量=9"}, "x=1", ""},
      {"only the query field", ":3", {}, {"数量=9"}, "x=9", ""},
      {"other rows are not looked at", ":3", {"数量:2=4"}, {}, "x=", ""},
      {"quotes doubled, previous as posted", ":3", {"数量:3=it's"}, {}, "x=it''s", "it's"},
      {"TAB row context", "a\tb\t", {"数量a\tb\t=7", "数量=1"}, {}, "x=7", "7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    req.ContentFields().Clear();
    req.QueryFields.Clear();
    Post(c.posted);
    Query(c.query);
    EXPECT_EQ(Run("x=「数量」", c.row), c.expect);
    EXPECT_EQ(MemoryValue("前:数量"), c.previous);
  }
}

TEST_F(InsetTest, RequestAndColumnValuesGetTheirQuotesDoubled) {
  Post({"v=it's"});
  Memory.SetValue("m", "it's");
  // Memory values may be SQL fragments that the script built on purpose; cells are data.
  EXPECT_EQ(Run("'「v」' '『m』' '「列:1」'", "it's\t"), "'it''s' 'it's' 'it''s'");
  EXPECT_EQ(Run("'「列:1」'", "x' OR '1'='1\t"), "'x'' OR ''1''=''1'");
}

TEST_F(InsetTest, MarkersMatchIgnoringCaseAndTakeTheFirstSpelling) {
  Post({"abc=1", "ａｂ=2"});
  Memory.SetValue("äb", "3");
  EXPECT_EQ(Run("「Abc」「ABC」「abc」 「ＡＢ」「ａｂ」 『ÄB』『äb』", ":1"), "111 22 33");
  // One substitution covered all three spellings, so only the first wrote its variable.
  EXPECT_EQ(MemoryValue("前:Abc"), "");
  EXPECT_EQ(Memory.GetCount(), 3u);  // äb, 前:Abc, 前:ＡＢ
}

TEST_F(InsetTest, MarkerNamesRunToTheFirstCloser) {
  Post({"a「b=1", "x=req", "y=「x」"});
  Memory.SetValue("「x」", "mem");
  Memory.SetValue("m", "「x」");
  Memory.SetValue("k", "x");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"「a「b」", "1"},        {"tail 「x", "tail 「x"},  // opener without closer stays
      {"「x」 「x", "req 「x"},                            // after the others are done
      {"『x 「x」", "『x req"},  // one stage's leftover does not stop the next
      {"『「x」』", "mem"},      // request markers are not expanded yet
      {"『m』", "「x」"},        // a memory value is final
      {"「y」", "「x」"},        // so is a request value
      {"「『k』」", "req"},      // the line's own brackets around an inserted name
      {"」「x」『", "」req『"},  // stray closers and openers stay
  };
  for (const auto& [line, expect] : cases) EXPECT_EQ(Run(line), expect) << line;
}

// ---------------------------------------------------------------------------------------------
// Column markers

TEST_F(InsetTest, ColumnMarkersReadTheTabRow) {
  struct Case {
    std::string marker, expect;
    std::optional<std::string> previous;  // 前列:<marker name> afterwards
  };
  const std::vector<Case> cases = {
      {"1", "A", "A"},          {"2", "", ""},           {"3", "C", "C"},
      {"4", "", std::nullopt},  {"0", "", std::nullopt}, {"-1", "", std::nullopt},
      {"x", "", std::nullopt},  {"01", "A", "A"},        {" 3", "C", "C"},
      {"3 ", "", std::nullopt}, {"$3", "C", "C"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.marker);
    Memory.Clear();
    EXPECT_EQ(Run("[「列:" + c.marker + "」]", "A\t\tC\t"), "[" + c.expect + "]");
    EXPECT_EQ(MemoryValue("前列:" + c.marker), c.previous);
  }
  // Text after the last TAB is no value.
  EXPECT_EQ(Run("「列:1」「列:2」", "A\tB"), "A");
  // A value never completes an opener standing before it: the line's own 「」 around it make
  // a request marker named by the value.
  Post({"列:2=R"});
  EXPECT_EQ(Run("「「列:1」」", "列:2\tB\t"), "R");
}

TEST_F(InsetTest, WithoutATabRowAColumnMarkerIsARequestMarker) {
  Post({"列:1=plain", "列:1:3=row"});
  EXPECT_EQ(Run("「列:1」"), "plain");
  EXPECT_EQ(Run("「列:1」", ":3"), "row");
  EXPECT_EQ(MemoryValue("前:列:1"), "row");
  EXPECT_EQ(MemoryValue("前列:1"), std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Previous-row variables

TEST_F(InsetTest, PreviousRowVariablesLagOneRowWithinALine) {
  Post({"数量:1=5", "数量:2=7"});
  const std::string line = "『前:数量』,「数量」";
  EXPECT_EQ(Run(line, ":1"), ",5");
  EXPECT_EQ(Run(line, ":2"), "5,7");
  EXPECT_EQ(Run("『前:数量』", ":2"), "7");  // a later line of the same row run

  Memory.Clear();
  const std::string cols = "『前列:2』,「列:2」";
  EXPECT_EQ(Run(cols, "a\tx\t"), ",x");
  EXPECT_EQ(Run(cols, "b\ty\t"), "x,y");
}

// ---------------------------------------------------------------------------------------------
// Encryption marker

TEST_F(InsetTest, EncryptionMarkerStoresTheCipherTextOfItsSource) {
  Post({"パスワード=secret", "パスワード:2=other"});
  const std::string phrase = GeneratePhrase();
  if (phrase.empty()) {
    // Without a host phrase every value would encrypt alike: the page must fail instead.
    EXPECT_THROW(Run("「パスワード暗号化」"), std::runtime_error);
    EXPECT_EQ(req.ContentFields().IndexOfName("パスワード暗号化"), -1);
    return;
  }
  const std::string stored = StoredCipherText("secret", phrase);
  EXPECT_EQ(Run("'「パスワード暗号化」'"), "'" + stored + "'");
  EXPECT_EQ(req.ContentFields().GetValue("パスワード暗号化"), stored);
  // The row context is part of both names.
  const std::string row_stored = StoredCipherText("other", phrase);
  EXPECT_EQ(Run("「パスワード暗号化」", ":2"), row_stored);
  EXPECT_EQ(req.ContentFields().GetValue("パスワード暗号化:2"), row_stored);
  EXPECT_EQ(MemoryValue("前:パスワード暗号化"), row_stored);
}

TEST_F(InsetTest, EncryptionMarkerWithAnEmptySourceIsAPlainRequestMarker) {
  Post({"パスワード=", "パスワード暗号化=as posted"});
  Query({"コード暗号化=from query"});
  const uint64_t commands = ExecutedCommandCount();
  EXPECT_EQ(Run("「パスワード暗号化」 「コード暗号化」"), "as posted from query");
  EXPECT_EQ(ExecutedCommandCount(), commands);  // no host phrase was built
}

// ---------------------------------------------------------------------------------------------
// Date normaliser

TEST_F(InsetTest, DateNormaliserWritesYearMonthDay) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"2024/1/5", "2024-01-05"},
      {"24-1-5", "2024-01-05"},
      {"20240105", "2024-01-05"},
      {"2024/01/05", "2024-01-05"},
      {"2024-01-05", "2024-01-05"},
      {"4/12/25", "2004-12-25"},
      {"2024/1", "2024-01"},
      {"2024/10/5", "2024-10-05"},
      {"abc", "abc"},
      {"", ""},
      {"24-1-5-9", "2024-01-5-9"},  // the day part is all after the second "-"
      // Lengths count UTF-16 code units, the eight-character test counts bytes.
      {"元/1/5", "200元-01-05"},
      {"😀/1/5", "20😀-01-05"},
      {"あ12345", "あ123-45-"},
      {"２０２４/01/05", "２０２４-01-05"},
  };
  for (const auto& [x, expect] : cases)
    EXPECT_EQ(Run("'日付形式変換（" + x + "）'"), "'" + expect + "'") << x;
}

TEST_F(InsetTest, DateNormaliserCallsAndOpenEnds) {
  Post({"日付=2024/1/5"});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"日付形式変換（2024/1/5", "日付形式変換（2024/1/5"},
      {"日付形式変換（1/2/3） 日付形式変換（4/5/6）", "2001-02-03 2004-05-06"},
      {"日付形式変換（「日付」）", "2024-01-05"},
      {"日付形式変換（日付形式変換（2024/1/5））", "2024-01-05"},
      // A result that completes an opener standing before it is rewritten in turn.
      {"日付形式日付形式変換（変換（2/3/4））", "2002-03-04"},
  };
  for (const auto& [line, expect] : cases) EXPECT_EQ(Run(line), expect) << line;
}

// ---------------------------------------------------------------------------------------------
// Escapes

TEST_F(InsetTest, InsertedLineBreaksAndSemicolonsAreMadeSafe) {
  Post({"memo=first\r\nsecond￥；third\nfourth\rfifth"});
  EXPECT_EQ(Run("INSERT INTO t VALUES ('「memo」')￥；"),
            "INSERT INTO t VALUES ('first' || char(10) || 'second;third' || char(10) || "
            "'fourthfifth');");
}

TEST_F(InsetTest, SplicedValuesReadBackWholeFromSqlite) {
  SQLiteDefaultLibrary = nv::test::kSqlite;
  TSQLite3Connection conn;
  conn.DatabaseName = ":memory:";
  conn.Open();
  conn.CreateTransaction();
  TSQLQuery query;
  query.SetDatabase(&conn);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"it's", "it's"},
      {"two\r\nlines", "two\nlines"},
      {"''; DROP TABLE x; --", "''; DROP TABLE x; --"},
      {"end\n", "end\n"},
  };
  for (const auto& [posted, stored] : cases) {
    req.ContentFields().Clear();
    req.ContentFields().SetValue("v", posted);
    query.SetSQL(Run("SELECT '「v」' AS v"));
    query.Open();
    EXPECT_EQ(query.Fields().at(0).AsString(), stored) << posted;
    query.Close();
  }
}

// ---------------------------------------------------------------------------------------------
// The once-per-request step

TEST_F(InsetTest, TextSavingModeKeepsPostedMarkersUnexpanded) {
  state.SQLexecFirst = true;
  Post({"SQL=SQL・HTML作成", "内容=SELECT 「x」, 『y』, 〔z〕, 日付形式変換（2024/1/5）", "x=1",
        "空="});
  Memory.SetValue("y", "2");
  EXPECT_EQ(Run("'「内容」' 「x」"), "'SELECT 「x」, 『y』, 「z」, 2024-01-05' 1");
  EXPECT_FALSE(state.SQLexecFirst);
  EXPECT_EQ(req.ContentFields().GetValue("内容"),
            "SELECT 〔x〕, ｛y｝, 〔z〕, 日付形式変換（2024/1/5）");
  EXPECT_EQ(req.ContentFields().GetValue("空"), "");
  // Restoration belongs to every line of the mode, protection to the first call only; a
  // value posted later is inserted as it stands.
  req.ContentFields().SetValue("later", "「x」");
  EXPECT_EQ(Run("「later」 〔x〕"), "「x」 「x」");
}

TEST_F(InsetTest, TextSavingModeNeedsTheExactModeWord) {
  state.SQLexecFirst = true;
  Post({"SQL=sql・html作成", "内容=「x」", "x=1"});
  EXPECT_EQ(Run("「内容」 〔x〕"), "「x」 〔x〕");
}

TEST_F(InsetTest, MultiSelectFieldsMergeOnceIntoTheirTarget) {
  struct Case {
    const char* what;
    Fields posted;
    Fields expect;  // posted fields afterwards
  };
  const std::vector<Case> cases = {
      {"no target yet: appended",
       {"色複数選択=赤", "a=1", "色複数選択=青"},
       {"色複数選択=赤", "a=1", "色複数選択=青", "色=赤,青"}},
      {"target value first",
       {"色=白", "色複数選択=赤", "色複数選択=青"},
       {"色=白,赤,青", "色複数選択=赤", "色複数選択=青"}},
      {"empty target filled in place", {"色=", "色複数選択=赤"}, {"色=赤", "色複数選択=赤"}},
      {"empty selection keeps a trailing comma",
       {"色=白", "色複数選択="},
       {"色=白,", "色複数選択="}},
      {"only the first occurrence of the word goes",
       {"複数選択色複数選択=x"},
       {"複数選択色複数選択=x", "色複数選択=x"}},
      {"protected before the merge",
       {"SQL=SQL・HTML作成", "色複数選択=「赤」"},
       {"SQL=SQL・HTML作成", "色複数選択=〔赤〕", "色=〔赤〕"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    req.ContentFields().Clear();
    Post(c.posted);
    state.SQLexecFirst = true;
    Run("SELECT 1");
    Run("SELECT 2");  // a second line of the request merges nothing again
    EXPECT_EQ(req.ContentFields().Items(), c.expect);
  }
}

// ---------------------------------------------------------------------------------------------
// Values that hold markers

TEST_F(InsetTest, ValuesHoldingMarkersAreInsertedOnceAsTheyAre) {
  Memory.SetValue("a", "x『a』");
  Memory.SetValue("c", "『c』『c』");
  Post({"p=「q」!", "q=「p」", "電話=「電話」『今日』", "メモ=彼は「こんにちは」と言った。",
        "こんにちは=hello"});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"『a』", "x『a』"},
      {"『c』", "『c』『c』"},
      {"「p」", "「q」!"},  // one value cannot read another field
      {"'「電話」', '「メモ」'", "'「電話」『今日』', '彼は「こんにちは」と言った。'"},
  };
  for (const auto& [line, expect] : cases) EXPECT_EQ(Run(line), expect) << line;
}

// A value far larger than the line does not stop the markers after it.
TEST_F(InsetTest, LargeValueAndTheMarkersAfterIt) {
  const std::string large = "「m0」" + std::string(30u << 20, 'z');
  Post({"large=" + large});
  std::string line = "'「large」'", expect = "'" + large + "'";
  for (int i = 0; i < 10; ++i) {
    const std::string name = "m" + std::to_string(i);
    Post({name + "=v" + std::to_string(i)});
    line += ",'「" + name + "」'";
    expect += ",'v" + std::to_string(i) + "'";
  }
  EXPECT_TRUE(Run(line) == expect);  // not EXPECT_EQ: a failure would print 30 MiB
}

TEST_F(InsetTest, ARunOfOpenersIsOneMarker) {
  std::string line;
  for (int i = 0; i < 200000; ++i) line += "「";
  Post({"x=1"});
  EXPECT_EQ(Run(line + "」「x」" + line + "a」"), "1");
}

}  // namespace
