// The posted-field list: lookups as every name=value list has them, whatever an entry is made
// of, and the value of lines that is read from its text.
#include "http/posted_fields.h"

#include <gtest/gtest.h>

#include "http/request.h"

using namespace nv;

TEST(PostedFieldList, LooksNamesUpAsEveryTextListDoes) {
  TPostedFields fields;
  // Parsed entries (in the body), an unnamed part's, and written ones side by side.
  ASSERT_EQ(ParseFormBody("%C3%A9t%C3%A9=1&flag&Name=2&name=3&k%3Dv=4", fields), TBodyParse::kOk);
  fields.AddNumbered(7, 0, 0);
  fields.Add("ΣΊΣΥΦΟΣ=5");
  fields.Add("bare");
  struct Case {
    const char* name;
    long at;
  };
  const Case cases[] = {
      {"ÉTÉ", 0},     {"été", 0},
      {"NAME", 2},  // the first of a name wins
      {"k", 4},       {"k=v", -1},
      {"flag", -1},  // names end at the first "="
      {"bare", -1},   {"dummyfileitem7", 5},
      {"σίσυφος", 6}, {"missing", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(fields.IndexOfName(c.name), c.at) << c.name;
  EXPECT_EQ(fields.GetValue("k"), "v=4");
  EXPECT_EQ(fields.Get(1), "flag");
  EXPECT_EQ(fields.ValueView(1), "flag");  // as a text list reads an entry without a name

  // Written by name: the first entry of the name is rewritten as spelt, else one is added.
  fields.SetValue("name", "x");
  EXPECT_EQ(fields.Get(2), "name=x");
  fields.SetValue("neu", "y");
  EXPECT_EQ(fields.GetCount(), 9u);
  fields.AppendToValue(8, "z");
  EXPECT_EQ(fields.GetValue("NEU"), "yz");
  // Appended by name: in place when spelt alike, else rewritten as spelt; added when missing.
  fields.AppendToValueOf("neu", "1");
  fields.AppendToValueOf("NEU", "2");
  fields.AppendToValueOf("later", "3");
  EXPECT_EQ(fields.Get(8), "NEU=yz12");
  EXPECT_EQ(fields.Get(9), "later=3");

  // Many fields added one by one, each looked up at once: the index keeps up.
  for (int i = 0; i < 100000; ++i) {
    fields.Add("f" + std::to_string(i) + "=" + std::to_string(i));
    ASSERT_EQ(fields.GetValue("F" + std::to_string(i / 2)), std::to_string(i / 2)) << i;
  }
}

TEST(PostedFieldList, ALinesValueIsReadFromItsText) {
  TPostedFields fields;
  fields.Add("a=1");
  fields.Add("CSV列=posted");
  const std::string text = "x,1\r\n\r\ny,2\r\rz\n";
  fields.SetLinesValue("csv列", std::string_view(text));  // replaces the posted one in place
  ASSERT_EQ(fields.GetCount(), 2u);
  std::string_view source;
  ASSERT_TRUE(fields.LinesSource(1, source));
  EXPECT_EQ(source.data(), text.data());  // nothing was copied

  std::vector<std::string_view> lines;
  std::string_view line;
  for (size_t pos = 0; NextNonEmptyLine(source, pos, line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string_view>{"x,1", "y,2", "z"}));

  EXPECT_EQ(fields.GetValue("CSV列"), "x,1\r\ny,2\r\nz\r\n");
  EXPECT_EQ(fields.Get(1), "csv列=x,1\r\ny,2\r\nz\r\n");
  EXPECT_FALSE(fields.LinesSource(1, source));  // read whole: the value stands for itself
  fields.AppendToValue(1, "w");
  EXPECT_EQ(fields.GetValue("CSV列"), "x,1\r\ny,2\r\nz\r\nw");
}
