#include "engine/markup_html.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "support/process_values.h"
#include "support/temp_dir.h"
#include "text/html_escape.h"
#include "text/strings.h"
#include "text/text_list.h"

using namespace nv;

namespace {

// A private application folder with its "include" folder, a request and an empty Memory.
class InsetHTMLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nv::test::ResetProcessValues(dir_.folder());
    std::filesystem::create_directories(Folder + "include/sub");
    state_.ARequest = &request_;
  }

  void File(const std::string& relative, const std::string& bytes) {
    std::ofstream(Folder + relative, std::ios::binary) << bytes;
  }
  void Include(const std::string& name, const std::string& bytes) {
    File("include/" + name, bytes);
  }
  void Posted(const std::string& name, const std::string& value) {
    request_.ContentFields().SetValue(name, value);
  }
  void Query(const std::string& name, const std::string& value) {
    request_.QueryFields.SetValue(name, value);
  }
  std::string Expand(const std::string& html) { return InsetHTML(state_, html); }

  nv::test::TempDir dir_;
  TRequest request_;
  TPageRequestState state_;
};

TEST_F(InsetHTMLTest, IncludeFilesAreJoinedWithCrLf) {
  Include("ab.txt", "A\nB");
  Include("crlf.txt", "x\r\ny\rz\r\n");
  Include("empty.txt", "");
  Include("sub/part.txt", "P");
  const struct {
    const char* html;
    const char* expected;
  } cases[] = {
      {"<【ab.txt】>", "<A\r\nB\r\n>"},
      {"【crlf.txt】", "x\r\ny\r\nz\r\n"},
      {"[【empty.txt】]", "[]"},
      {"[【missing.txt】]", "[]"},
      {"[【】]", "[]"},     // the folder itself is no file
      {"[【sub】]", "[]"},  // nor is any other folder
      {"【sub/part.txt】", "P\r\n"},
      {"【sub\\part.txt】", "P\r\n"},  // stored templates may use either separator
      {"【AB.TXT】", ""},              // used as written: on this host a file name's case counts
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(Expand(c.html), c.expected);
  }
}

TEST_F(InsetHTMLTest, IncludeByteOrderMarks) {
  Include("utf8.txt",
          "\xEF\xBB\xBF"
          "é1\r\né2");
  Include("le.txt", std::string("\xFF\xFE\xE9\x00"
                                "1\x00\n\x00",
                                8));
  Include("be.txt", std::string("\xFE\xFF\x00\xE9\x00"
                                "2",
                                6));
  EXPECT_EQ(Expand("【utf8.txt】"), "é1\r\né2\r\n");
  EXPECT_EQ(Expand("【le.txt】"), "é1\r\n");
  EXPECT_EQ(Expand("【be.txt】"), "é2\r\n");
}

TEST_F(InsetHTMLTest, IncludesNestAndMatchIgnoringCase) {
  Include("outer.txt", "O[【inner.txt】]");
  Include("inner.txt", "I「q」");
  Query("q", "Q");
  EXPECT_EQ(Expand("【outer.txt】"), "O[IQ\r\n]\r\n");
  // Every spelling of the marker gets the value found for the first one.
  Include("Case.txt", "c");
  EXPECT_EQ(Expand("【Case.txt】【CASE.TXT】【case.txt】"), "c\r\nc\r\nc\r\n");
}

TEST_F(InsetHTMLTest, IncludeNamesCannotLeaveTheIncludeFolder) {
  File("secret.txt", "SECRET");
  Include("sub/inside.txt", "IN");
  for (const char* name : {"../secret.txt", "..\\secret.txt", "sub/../../secret.txt",
                           "sub\\..\\..\\secret.txt", "..", "sub/../sub/inside.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Expand(std::string("[【") + name + "】]"), "[]");
  }
  // A name holding a NUL byte would be cut short where the file is opened.
  const char with_nul[] = "[【sub/inside.txt\0/x】]";
  EXPECT_EQ(Expand(std::string(with_nul, sizeof with_nul - 1)), "[]");
  // Dots that are no ".." segment are ordinary names.
  Include("..x", "DOTS");
  EXPECT_EQ(Expand("【..x】"), "DOTS\r\n");
}

TEST_F(InsetHTMLTest, UnreadableIncludeFileFails) {
  std::string path = Folder + "include/locked.txt";
  Include("locked.txt", "x");
  chmod(path.c_str(), 0);
  if (std::ifstream(path)) {
    // Permissions do not stop root; a write-only kernel setting does.
    std::filesystem::remove(path);
    std::error_code ec;
    std::filesystem::create_symlink("/proc/sys/vm/compact_memory", path, ec);
    if (ec || std::ifstream(path)) GTEST_SKIP() << "no unreadable file available";
  }
  try {
    Expand("【locked.txt】");
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to open file \"" + path + "\": Permission denied");
  }
}

TEST_F(InsetHTMLTest, RequestMarkers) {
  Posted("both", "posted");
  Query("both", "query");
  Posted("emptyPosted", "");
  Query("emptyPosted", "fromQuery");
  Posted("none", "");
  Query("onlyQuery", "q");
  const struct {
    const char* html;
    const char* expected;
  } cases[] = {
      {"「both」", "posted"},
      {"「emptyPosted」", "fromQuery"},
      {"[「none」]", "[]"},
      {"[「missing」]", "[]"},
      {"「ONLYQUERY」", "q"},  // names ignore case
      {"「Both」「BOTH」", "postedposted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(Expand(c.html), c.expected);
  }
}

TEST_F(InsetHTMLTest, RequestValuesAreEscapedAndFinal) {
  Include("file.txt", "FILE");
  Posted("raw", "it's <b>&amp;\"");
  Query("q", "<script>x</script>");
  Posted("outer", "<「inner」>");
  Posted("inner", "I");
  Posted("inc", "【file.txt】");
  Posted("mem", "『m』");
  Memory.SetValue("m", "M");
  EXPECT_EQ(Expand("「raw」"), "it&#39;s &lt;b&gt;&amp;amp;&quot;");
  EXPECT_EQ(Expand("<input value=\"「q」\">"), "<input value=\"&lt;script&gt;x&lt;/script&gt;\">");
  // A request value pulls in no file and expands no marker.
  EXPECT_EQ(Expand("「outer」"), "&lt;「inner」&gt;");
  EXPECT_EQ(Expand("「inc」「mem」"), "【file.txt】『m』");
}

TEST_F(InsetHTMLTest, StageOrder) {
  Memory.SetValue("今日", "2024-01-05");
  Query("key", "今日");
  // Request markers come before memory markers.
  EXPECT_EQ(Expand("『「key」』"), "2024-01-05");
  // A memory value is final: its markers stay as written, and its HTML is the application's.
  Memory.SetValue("m", "「key」『今日』<b>");
  EXPECT_EQ(Expand("『m』"), "「key」『今日』<b>");
  // Placeholders are left for the page handler.
  Posted("p", "＠データ＠");
  EXPECT_EQ(Expand("「p」"), "＠データ＠");
}

TEST_F(InsetHTMLTest, UnclosedOpenersStayAndLaterStagesRun) {
  Query("x", "X");
  Memory.SetValue("m", "M");
  EXPECT_EQ(Expand("【abc 「x」 『m』"), "【abc X M");
  EXPECT_EQ(Expand("「x」 「tail"), "X 「tail");
  EXPECT_EQ(Expand("『m』 『tail 「x」"), "M 『tail X");
  // The name runs to the first closer and may hold openers itself.
  Query("a「b", "AB");
  EXPECT_EQ(Expand("「a「b」"), "AB");
}

TEST_F(InsetHTMLTest, EditModeShowsMemoryMarkersUnexpanded) {
  Memory.SetValue("今日", "2024-01-05");
  Memory.SetValue("script", "SELECT '『今日』'; </textarea></TEXTAREA>");
  const std::string html = "<textarea>『script』</textarea>";
  const std::string editing =
      "<textarea>SELECT '『今日』'; &lt;/textarea>&lt;/textarea></textarea>";
  // Outside edit mode the value is not expanded either; only the tag stays.
  const std::string viewing = "<textarea>SELECT '『今日』'; </textarea></TEXTAREA></textarea>";
  const struct {
    const char* sql;
    std::string expected;
  } cases[] = {
      {"SQL編集", editing},  {"HTML編集", editing},
      {"sql編集", viewing},  // the mode word is compared exactly
      {"SQL編集 ", viewing}, {"", viewing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    request_.QueryFields.SetValue("SQL", c.sql);
    EXPECT_EQ(Expand(html), c.expected);
  }
}

TEST_F(InsetHTMLTest, EditModeRestoresEveryProtectedMarker) {
  Memory.SetValue("m", "M");
  Posted("p", "｛m｝");
  const std::string html = "｛m｝ 「p」 『m』";
  EXPECT_EQ(Expand(html), "｛m｝ ｛m｝ M");
  Query("SQL", "HTML編集");
  // Restored after stage 3, so the restored markers are not expanded.
  EXPECT_EQ(Expand(html), "『m』 『m』 M");
}

TEST_F(InsetHTMLTest, WithoutRequestOnlyIncludesAndMemoryExpand) {
  TPageRequestState bare;
  Include("i.txt", "I");
  Memory.SetValue("m", "M");
  EXPECT_EQ(InsetHTML(bare, "【i.txt】「x」『m』"), "I\r\nM");
}

// Where no value holds a bracket, the stages give what the plain loop gives (search from the
// start, StringReplace over the whole text), request values escaped: on random texts mixing
// case variants, folds that change a character's length (ı, İ, ß), stray bytes, unbalanced
// brackets and include files with markers of their own.
TEST_F(InsetHTMLTest, SameResultAsReplacingOverTheWholeText) {
  const std::vector<std::string> pieces = {"「", "」", "『", "』",   "【",   "】",   "a", "A",
                                           "ä",  "Ä",  "ı",  "I",    "i",    "İ",    "ß", "σ",
                                           "Σ",  "x",  " ",  "\xE3", "\x80", "\xC3", "=", "\r\n"};
  Include("a", "「a」【x】");
  Include("x", "『a 「Σ」");
  Include("ä", "】");
  Query("a", "v<a>");
  Query("ı", "dotless");
  Query("Σ", "sigma");
  Posted("ß", "eszett\xC3");
  Posted("ä", "");
  Query("ä", "Ä");
  Memory.SetValue("a", "ma");
  Memory.SetValue("İ", "idot");
  Memory.SetValue("x", "<x>");

  const auto reference = [&](std::string text) {
    const auto stage = [&text](std::string_view opener, std::string_view closer, auto value_of) {
      for (int rounds = 0; rounds < 100000; ++rounds) {
        size_t open = text.find(opener);
        if (open == std::string::npos) return;
        size_t close = text.find(closer, open + opener.size());
        if (close == std::string::npos) return;
        std::string name = text.substr(open + opener.size(), close - open - opener.size());
        std::string marker = text.substr(open, close + closer.size() - open);
        text = StringReplace(text, marker, value_of(name), rfReplaceAll | rfIgnoreCase);
      }
      ADD_FAILURE() << "reference loop did not end";
    };
    stage("【", "】", [this](const std::string& name) {
      TStringList lines;
      if (!std::filesystem::is_regular_file(Folder + "include/" + name)) return std::string();
      lines.LoadFromFile(Folder + "include/" + name);
      return lines.GetTextStr();
    });
    stage("「", "」", [this](const std::string& name) {
      std::string v = request_.ContentFields().GetValue(name);
      return HtmlEscape(v.empty() ? request_.QueryFields.GetValue(name) : v);
    });
    stage("『", "』", [](const std::string& name) { return Memory.GetValue(name); });
    return text;
  };

  unsigned seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  for (int round = 0; round < 2000; ++round) {
    std::string html;
    for (unsigned n = next() % 40; n > 0; --n) html += pieces[next() % pieces.size()];
    SCOPED_TRACE(html);
    ASSERT_EQ(Expand(html), reference(html));
  }
}

// Includes nest at any depth. Only a file already being expanded on the way down to a marker,
// under any spelling, is cut there: that marker gives the empty text.
TEST_F(InsetHTMLTest, IncludesExpandWholeAndOnlyCyclesAreCut) {
  std::string nine, twenty;
  for (int i = 1; i <= 20; ++i) {
    const std::string n = std::to_string(i), next = std::to_string(i + 1);
    Include("f" + n + ".txt", "f" + n + (i < 9 ? "【f" + next + ".txt】" : ""));
    Include("c" + n + ".txt", "c" + n + (i < 20 ? "【c" + next + ".txt】" : ""));
    if (i <= 9) nine += "f" + n;
    twenty += "c" + n;
  }
  Include("self.txt", "s【self.txt】");
  Include("ping.txt", "ping【pong.txt】");
  Include("pong.txt", "pong【ping.txt】");
  Include("sub/x.txt", "x【sub\\x.txt】【link.txt】");
  std::filesystem::create_symlink("sub/x.txt", Folder + "include/link.txt");
  Include("both.txt", "【self.txt】【self.txt】");
  Query("q", "!");
  const auto crlf = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "\r\n";
    return s;
  };
  const struct {
    const char* html;
    std::string expected;
  } cases[] = {
      {"【f1.txt】", nine + crlf(9)},
      {"【c1.txt】", twenty + crlf(20)},
      {"【self.txt】「q」", "s\r\n!"},
      {"【ping.txt】|【pong.txt】", "pingpong\r\n\r\n|pongping\r\n\r\n"},
      {"【sub/x.txt】", "x\r\n"},
      {"【link.txt】", "x\r\n"},
      {"【both.txt】", "s\r\ns\r\n\r\n"},  // one file twice side by side is no cycle
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    EXPECT_EQ(Expand(c.html), c.expected);
  }
}

// Without a cycle a text can still multiply: here each file includes the next ten times, eight
// levels deep. Past the bound on included text the page fails instead of filling the memory.
TEST_F(InsetHTMLTest, GrowingIncludesFailAtTheBound) {
  Include("g8.txt", "0123456789");
  for (int i = 1; i < 8; ++i) {
    std::string text;
    for (int k = 0; k < 10; ++k) text += "【g" + std::to_string(i + 1) + ".txt】";
    Include("g" + std::to_string(i) + ".txt", text);
  }
  try {
    Expand("【g1.txt】");
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with(
        "Include files expand to more than 16 MiB of text (at 【g"))
        << e.what();
  }
  EXPECT_EQ(Expand("【g6.txt】").size(), 100u * 12u + 10u * 2u + 2u);
}

// A value that brings its own marker back is inserted as it is.
TEST_F(InsetHTMLTest, SelfRepeatingValuesEnd) {
  Query("q", "「q」.");
  EXPECT_EQ(Expand("「q」"), "「q」.");
  Memory.SetValue("x", "『x』『x』");
  EXPECT_EQ(Expand("『x』"), "『x』『x』");
}

TEST_F(InsetHTMLTest, EveryMarkerOfALargeTemplateExpands) {
  std::string html, expect;
  for (int i = 0; i < 10000; ++i) {
    const std::string n = std::to_string(i);
    Query("f" + n, "v" + n);
    html += "<td>「f" + n + "」</td>";
    expect += "<td>v" + n + "</td>";
  }
  EXPECT_EQ(Expand(html), expect);
}

}  // namespace
