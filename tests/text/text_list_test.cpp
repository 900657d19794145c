#include "text/text_list.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/unicode.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "text/strings.h"

using namespace nv;
using nv::test::ReadFile;
using nv::test::WriteFile;

namespace {

std::vector<std::string> Entries(const TStringList& l) { return l.Items(); }

}  // namespace

TEST(TextList, NameLookupFirstMatchIgnoringCase) {
  TStringList l;
  l.Add("Name=a");
  l.Add("name=b");
  EXPECT_EQ(l.GetValue("NAME"), "a");
  l.SetValue("NAME", "x");
  EXPECT_EQ(Entries(l), (std::vector<std::string>{"NAME=x", "name=b"}));
  // Empty value keeps the entry.
  l.SetValue("name", "");
  EXPECT_EQ(Entries(l), (std::vector<std::string>{"name=", "name=b"}));
  EXPECT_EQ(l.GetValue("name"), "");
  EXPECT_EQ(l.GetValue("missing"), "");
  l.SetValue("new", "1");
  EXPECT_EQ(l.Get(2), "new=1");
}

TEST(TextList, NamesValuesAndEntriesWithoutEquals) {
  TStringList l;
  l.Add("a=b=c");
  l.Add("abc");
  EXPECT_EQ(l.GetName(0), "a");
  EXPECT_EQ(l.GetValueFromIndex(0), "b=c");
  EXPECT_EQ(l.GetValue("a"), "b=c");
  EXPECT_EQ(l.GetValue("abc"), "");
  EXPECT_EQ(l.GetName(1), "");
  EXPECT_EQ(l.GetValueFromIndex(1), "abc");
  // A name holding "=" is never found, so every assignment by it appends.
  l.SetValue("a=b", "1");
  l.SetValue("a=b", "2");
  EXPECT_EQ(l.GetCount(), 4u);
  EXPECT_EQ(l.GetValue("a=b"), "");
  l.SetValueFromIndex(0, "z");
  EXPECT_EQ(l.Get(0), "a=z");
  l.SetValueFromIndex(0, "");
  EXPECT_EQ(l.Get(0), "abc");
}

TEST(TextList, IgnoreCaseCoversEveryScript) {
  TStringList l;
  l.Add("äb=1");
  l.Add("привет=2");
  l.Add("ａｂ=3");
  l.Add("αβ=4");
  l.Add("名前=5");
  EXPECT_EQ(l.GetValue("ÄB"), "1");
  EXPECT_EQ(l.GetValue("ПРИВЕТ"), "2");
  EXPECT_EQ(l.GetValue("ＡＢ"), "3");
  EXPECT_EQ(l.GetValue("ΑΒ"), "4");
  EXPECT_EQ(l.GetValue("名前"), "5");
  EXPECT_EQ(l.GetValue("ab"), "");  // full-width is not ASCII
  EXPECT_TRUE(SameName("ÄB", "äb"));
  EXPECT_FALSE(SameName("ÄB", "ab"));
}

// The index must stay in step with every change that moves or renames entries.
TEST(TextList, IndexFollowsMutations) {
  TStringList l;
  for (int i = 0; i < 1000; ++i) l.Add("f" + std::to_string(i) + "=" + std::to_string(i));
  EXPECT_EQ(l.GetValue("F500"), "500");
  l.Delete(0);
  EXPECT_EQ(l.IndexOfName("f1"), 0);
  l.Insert(0, "f1=first");
  EXPECT_EQ(l.GetValue("f1"), "first");
  l.Put(0, "g=1");
  EXPECT_EQ(l.GetValue("f1"), "1");
  EXPECT_EQ(l.GetValue("g"), "1");
  l.Delete(l.GetCount() - 1);
  EXPECT_EQ(l.GetValue("f999"), "");
  l.Add("f999=back");
  EXPECT_EQ(l.GetValue("f999"), "back");
  TStringList copy;
  copy.Assign(l);
  EXPECT_EQ(copy.GetValue("f998"), "998");
  l.Clear();
  EXPECT_EQ(l.GetValue("g"), "");
  l.SetTextStr("x=1\r\nx=2");
  EXPECT_EQ(l.GetValue("X"), "1");
  l.Sort();
  EXPECT_EQ(l.IndexOfName("x"), 0);
}

TEST(TextList, TextSplitAndJoin) {
  struct Case {
    std::string text;
    std::vector<std::string> entries;
  } cases[] = {
      {"", {}},
      {"one\r\n", {"one"}},
      {"a\r\n\r\n", {"a", ""}},
      {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
      {"a\n\rb", {"a", "", "b"}},
      {"\n", {""}},
  };
  for (const auto& c : cases) {
    TStringList l;
    l.SetTextStr(c.text);
    EXPECT_EQ(Entries(l), c.entries) << c.text;
  }
  TStringList l;
  l.SetTextStr("one\r\n");
  EXPECT_EQ(l.GetTextStr(), "one\r\n");
  l.Clear();
  EXPECT_EQ(l.GetTextStr(), "");
}

TEST(TextList, StrictCsvLine) {
  struct Case {
    std::string line;
    std::vector<std::string> fields;
  } cases[] = {
      {"\"a\"\"b\",,c", {"a\"b", "", "c"}},
      {"", {}},
      {",", {"", ""}},
      {",a", {"", "a"}},
      {"a,", {"a", ""}},
      {" a , b ", {" a ", " b "}},
      {"\"x,y\",z", {"x,y", "z"}},
      {"\"ab\"cd,e", {"ab", "cd", "e"}},
      {"\"open", {"open"}},
      {"a\"b\",c", {"a\"b\"", "c"}},
      {",,,", {"", "", "", ""}},
  };
  for (const auto& c : cases) {
    TStringList l;
    l.SetDelimitedText(c.line);
    EXPECT_EQ(Entries(l), c.fields) << c.line;
  }
}

TEST(TextReplace, LeftToRightWithoutRescanning) {
  struct Case {
    std::string text, pattern, replacement;
    unsigned flags;
    std::string expected;
  } cases[] = {
      {"ab", "ab", "abab", rfReplaceAll, "abab"},
      {"aaa", "aa", "b", rfReplaceAll, "ba"},
      {"xyxy", "x", "", rfNone, "yxy"},
      {"xyxy", "x", "-", rfReplaceAll, "-y-y"},
      {"abc", "", "z", rfReplaceAll, "abc"},
      {"ÄB äb", "äb", "1", rfReplaceAll | rfIgnoreCase, "1 1"},
      {"ÄB äb", "ÄB", "1", rfReplaceAll, "1 äb"},
      {"「Name」", "「name」", "v", rfReplaceAll | rfIgnoreCase, "v"},
      {"short", "longer pattern", "x", rfReplaceAll | rfIgnoreCase, "short"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StringReplace(c.text, c.pattern, c.replacement, c.flags), c.expected) << c.text;
  EXPECT_EQ(StringReplace("aaaa", "a", "b", rfReplaceAll, 3), "bbba");
}

// Folds that change a character's byte length must still replace the matched original bytes.
TEST(TextReplace, LengthChangingFoldsKeepOriginalRanges) {
  // U+0131 (dotless i, 2 bytes) folds to "I" (1 byte).
  EXPECT_EQ(StringReplace("\xC4\xB1x-ix", "IX", "_", rfReplaceAll | rfIgnoreCase), "_-_");
  EXPECT_EQ(StringReplace("a\xC4\xB1"
                          "bcd",
                          "cd", "!", rfReplaceAll | rfIgnoreCase),
            "a\xC4\xB1"
            "b!");
  // Invalid bytes are kept and never crash the fold.
  EXPECT_EQ(StringReplace("\xFF\xFE"
                          "ab",
                          "AB", "z", rfReplaceAll | rfIgnoreCase),
            "\xFF\xFE"
            "z");
}

TEST(TextList, FilesWithByteOrderMarks) {
  nv::test::TempDir temp;
  const std::string dir = temp.folder();
  struct Case {
    std::string bytes;
    TextEncoding enc;
  } cases[] = {
      {"x=1\r\n\xC3\xA4\n", TextEncoding::Utf8},
      {"\xEF\xBB\xBFx=1\r\n\xC3\xA4\r\n", TextEncoding::Utf8Bom},
      {std::string("\xFF\xFEx\0=\0"
                   "1\0\r\0\n\0\xE4\0",
                   14),
       TextEncoding::Utf16LE},
      {std::string("\xFE\xFF\0x\0=\0"
                   "1\0\r\0\n\0\xE4",
                   14),
       TextEncoding::Utf16BE},
  };
  for (const auto& c : cases) {
    WriteFile(dir + "f.txt", c.bytes);
    TStringList l;
    l.LoadFromFile(dir + "f.txt");
    EXPECT_EQ(Entries(l), (std::vector<std::string>{"x=1", "ä"}));
    EXPECT_EQ(l.Encoding(), c.enc);
    l.SaveToFile(dir + "g.txt");
    TStringList back;
    back.LoadFromFile(dir + "g.txt");
    EXPECT_EQ(Entries(back), Entries(l));
    EXPECT_EQ(back.Encoding(), c.enc);
  }
  TStringList plain;
  plain.Add("a");
  plain.Add("");
  plain.SaveToFile(dir + "p.txt");
  EXPECT_EQ(ReadFile(dir + "p.txt"), "a\r\n\r\n");
  try {
    plain.LoadFromFile(dir + "missing.txt");
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to open file \"" + dir + "missing.txt\": No such file or directory");
  }
  try {
    plain.LoadFromFile(dir);  // a folder opens, but cannot be read
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to open file \"" + dir + "\": Is a directory");
  }
  try {
    plain.SaveToFile(dir + "nodir/x.txt");
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to create file \"" + dir + "nodir/x.txt\": No such file or directory");
  }
}

TEST(TextList, SortIgnoresCase) {
  TStringList l;
  l.SetTextStr("b\r\nA\r\nc\r\na2");
  l.Sort();
  EXPECT_EQ(Entries(l), (std::vector<std::string>{"A", "a2", "b", "c"}));
}

TEST(Unicode, DecodeKeepsInvalidBytes) {
  std::string bad = "\xC3\x28\xE2\x82\xED\xA0\x80\xF5";
  EXPECT_EQ(UpperUtf8(bad), "\xC3\x28\xE2\x82\xED\xA0\x80\xF5");
  EXPECT_EQ(UpperUtf8("straße ǆ"), "STRAßE Ǆ");
}
