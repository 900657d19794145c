#include "engine/renderings.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "text/strings.h"

using namespace nv;

namespace {

TStringList List(const std::vector<std::string>& entries) {
  TStringList l;
  for (const std::string& e : entries) l.Add(e);
  return l;
}

struct Case {
  const char* what;
  std::vector<std::string> names;
  std::vector<std::string> rows;
  std::string array_rows;
  std::string object_rows;
  std::string csv;
};

TRowList Rows(const std::vector<std::string>& entries) {
  TRowList l;
  for (const std::string& e : entries) l.Add(e);
  return l;
}

// Every rendering of the case, from a text list and from a row list (the result slots' kind),
// whole and appended to a page that holds text already, with the room the page was told of.
void ExpectRenderings(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TStringList names = List(c.names), rows = List(c.rows);
    const TRowList row_list = Rows(c.rows);
    EXPECT_EQ(DBtoHTML(names, rows), c.array_rows);
    EXPECT_EQ(DBtoJSON(names, rows), c.object_rows);
    EXPECT_EQ(DBtoAI2CSV(names, rows), c.csv);
    EXPECT_EQ(DBtoHTML(names, row_list), c.array_rows);
    EXPECT_EQ(DBtoJSON(names, row_list), c.object_rows);
    EXPECT_EQ(DBtoAI2CSV(names, row_list), c.csv);
    std::string page = "before ";
    AppendDBtoHTML(page, names, row_list);
    EXPECT_EQ(page, "before " + c.array_rows);
    EXPECT_LE(c.array_rows.size(), DBtoHTMLRoom(names, row_list));
    page = "before ";
    AppendDBtoJSON(page, names, row_list);
    EXPECT_EQ(page, "before " + c.object_rows);
    EXPECT_LE(c.object_rows.size(), DBtoJSONRoom(names, row_list));
  }
}

}  // namespace

TEST(Renderings, WorkedExamples) {
  ExpectRenderings({
      {"two columns, two rows",
       {"a", "b"},
       {"1\t2\t", "3\t4\t"},
       R"(["a","b"],["1","2"],["3","4"])",
       R"({"a":"1","b":"2"},{"a":"3","b":"4"})",
       "\"a\",\"b\"\n\"1\",\"2\"\n\"3\",\"4\""},
      // The CSV text treats no name as blank.
      {"empty middle name",
       {"a", "", "c"},
       {"1\t2\t3\t"},
       R"(["a","c"],["1","3"])",
       R"({"a":"1","c":"3"})",
       "\"a\",\"\",\"c\"\n\"1\",\"2\",\"3\""},
  });
}

TEST(Renderings, EmptyListsAndRowShapes) {
  ExpectRenderings({
      {"no row: no header either; CSV keeps the header line",
       {"a", "b"},
       {},
       "",
       "",
       "\"a\",\"b\""},
      {"neither names nor rows", {}, {}, "", "", "\"\""},
      {"rows without names", {}, {"1\t2\t"}, "", "", "\"\"\n\"1\",\"2\""},
      {"short row gives empty values",
       {"a", "b"},
       {"1\t"},
       R"(["a","b"],["1",""])",
       R"({"a":"1","b":""})",
       "\"a\",\"b\"\n\"1\""},
      // The CSV text only removes the line end after a final TAB, so a CR stays here.
      {"text after the last TAB is no value",
       {"a", "b"},
       {"1\t2"},
       R"(["a","b"],["1",""])",
       R"({"a":"1","b":""})",
       "\"a\",\"b\"\n\"1\",\"2\r\""},
      {"values beyond the last column are ignored",
       {"a"},
       {"1\t2\t"},
       R"(["a"],["1"])",
       R"({"a":"1"})",
       "\"a\"\n\"1\",\"2\""},
      {"an entry without a TAB gives no row",
       {"a", "b"},
       {"x", "1\t2\t"},
       R"(["a","b"],["1","2"])",
       R"({"a":"1","b":"2"})",
       "\"a\",\"b\"\n\"x\r\"\n\"1\",\"2\""},
      {"only entries without a TAB", {"a"}, {"x"}, R"(["a"])", "", "\"a\"\n\"x\r\""},
  });
}

TEST(Renderings, BlankNames) {
  ExpectRenderings({
      {"surrounding blanks are kept, blank names drop out with their values",
       {" a ", " \t", "b", "\x01"},
       {"1\t2\t3\t4\t"},
       R"([" a ","b"],["1","3"])",
       R"({" a ":"1","b":"3"})",
       "\" a \",\" \",\"\",\"b\",\"\x01\"\n\"1\",\"2\",\"3\",\"4\""},
      {"all names blank",
       {" ", ""},
       {"1\t2\t", "3\t4\t"},
       "[],[],[]",
       "{},{}",
       "\" \",\"\"\n\"1\",\"2\"\n\"3\",\"4\""},
  });
}

TEST(Renderings, NothingIsEscaped) {
  ExpectRenderings({
      {"quotes, backslashes and markup pass unchanged",
       {"n\"1", "<b>\\"},
       {"say \"hi\"\t</script>\t"},
       R"(["n"1","<b>\"],["say "hi"","</script>"])",
       R"({"n"1":"say "hi"","<b>\":"</script>"})",
       "\"n\"1\",\"<b>\\\"\n\"say \"hi\"\",\"</script>\""},
      {"line breaks in array and object rows; an LF in the CSV ends the line",
       {"a", "b"},
       {"x\ny\t2\t"},
       "[\"a\",\"b\"],[\"x\ny\",\"2\"]",
       "{\"a\":\"x\ny\",\"b\":\"2\"}",
       "\"a\",\"b\"\n\"x\"\n\"y\",\"2\""},
      {"CSV: a trailing empty value drops out",
       {"a", "b"},
       {"1\t\t"},
       R"(["a","b"],["1",""])",
       R"({"a":"1","b":""})",
       "\"a\",\"b\"\n\"1\""},
  });
}

TEST(Renderings, CsvHeaderFromNamesWithLineBreaks) {
  // A name holding a line break joins the header with a TAB, so it splits into two fields.
  EXPECT_EQ(DBtoAI2CSV(List({"a\r\nb", "c\nd"}), List({"1\t2\t"})),
            "\"a\",\"b\",\"c\",\"d\"\n\"1\",\"2\"");
  // A TAB inside a value reads as two values in every rendering.
  EXPECT_EQ(DBtoAI2CSV(List({"a", "b"}), List({"1\tx\t2\t"})), "\"a\",\"b\"\n\"1\",\"x\",\"2\"");
  EXPECT_EQ(DBtoHTML(List({"a", "b"}), List({"1\tx\t2\t"})), R"(["a","b"],["1","x"])");
}

TEST(Renderings, ManyRowsKeepTheirOrder) {
  TStringList names = List({"n", "sq"}), rows;
  std::string array_rows = R"(["n","sq"])", objects;
  for (int i = 0; i < 1000; ++i) {
    const std::string n = std::to_string(i), sq = std::to_string(i * i);
    rows.Add(n + "\t" + sq + "\t");
    array_rows += ",[\"" + n + "\",\"" + sq + "\"]";
    objects += (i ? "," : "") + std::string("{\"n\":\"") + n + "\",\"sq\":\"" + sq + "\"}";
  }
  EXPECT_EQ(DBtoHTML(names, rows), array_rows);
  EXPECT_EQ(DBtoJSON(names, rows), objects);
}

// Values of every length up to a few words, TABs and blank names anywhere, rows with and
// without a last TAB: the renderings read a row list eight bytes at a time, also across the
// ends of its rows, and must still give what splitting each row at its TABs gives.
TEST(Renderings, ValuesOfEveryLengthAgainstSplitRows) {
  std::mt19937 random(20);
  const std::string alphabet = "ab\t\"\n日x";
  for (int round = 0; round < 300; ++round) {
    TStringList names;
    const int columns = 1 + static_cast<int>(random() % 5);
    for (int j = 0; j < columns; ++j) names.Add(random() % 4 == 0 ? " " : "c" + std::to_string(j));
    std::vector<std::string> entries;
    for (int i = static_cast<int>(random() % 6); i > 0; --i) {
      std::string row;
      for (int j = static_cast<int>(random() % 7); j > 0; --j) {
        for (int k = static_cast<int>(random() % 20); k > 0; --k)
          row += alphabet[random() % alphabet.size()];
        if (random() % 5 != 0) row += '\t';
      }
      entries.push_back(row);
    }
    // The plain reading: each row split at its TABs, "" for the values it lacks.
    std::string array_rows, objects;
    if (!entries.empty()) {
      array_rows = "[";
      bool first = true;
      for (const std::string& name : names.Items()) {
        if (name == " ") continue;
        array_rows += (first ? "\"" : ",\"") + name + "\"";
        first = false;
      }
      array_rows += "]";
      for (const std::string& row : entries) {
        if (row.find('\t') == std::string::npos) continue;
        const std::vector<std::string_view> values = SplitTabRow(row);
        std::string array_row, object;
        for (size_t j = 0; j < names.GetCount(); ++j) {
          if (names.Get(j) == " ") continue;
          const std::string value(j < values.size() ? values[j] : "");
          array_row += (array_row.empty() ? "\"" : ",\"") + value + "\"";
          object += (object.empty() ? "\"" : ",\"") + names.Get(j) + "\":\"" + value + "\"";
        }
        array_rows += ",[" + array_row + "]";
        objects += (objects.empty() ? "{" : ",{") + object + "}";
      }
    }
    SCOPED_TRACE(round);
    EXPECT_EQ(DBtoHTML(names, Rows(entries)), array_rows);
    EXPECT_EQ(DBtoJSON(names, Rows(entries)), objects);
    EXPECT_EQ(DBtoHTML(names, List(entries)), array_rows);
    EXPECT_EQ(DBtoJSON(names, List(entries)), objects);
  }
}
