#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "support/page_fixture.h"

using namespace nv;
using namespace nv::test;
using namespace std::string_literals;

namespace {

const char kHead[] = "<T>ms IPAddress:192.0.2.7 User:taro(営業)";

class RequestLogTest : public PageTest {
 protected:
  void SetUp() override {
    PageTest::SetUp();
    if (IsSkipped()) return;
    AddDefinition("表示", "", "", "SELECT 1 AS x;");
    AddTemplate("一覧表", "L");
  }
  std::string LogFile() const { return ReadFile(Folder + "log.txt"); }
  // What saving the whole list gives: the file must always hold exactly that.
  std::string WholeListSave() const {
    const std::string path = Folder + "whole.txt";
    log.SaveToFile(path);
    return ReadFile(path);
  }
};

TEST_F(RequestLogTest, StartAndEndLinesByteForByte) {
  Serve({{"SQL", "表示"}, {"HTML", "無い"}}, {{"SQL", "表示"}});
  const std::string start = std::string("----START---- ") + kHead + " SQL:表示表示";
  const std::string end = std::string("==== END ==== ") + kHead + " HTML:無い\n";
  ASSERT_EQ(log.GetCount(), 2u);
  EXPECT_EQ(Stamped(log.Get(0)), start);
  EXPECT_EQ(Stamped(log.Get(1)), end);
  EXPECT_EQ(Stamped(LogFile()), start + "\r\n" + end + "\r\n");
}

TEST_F(RequestLogTest, StartLineShowsThePostedNameThenTheQueriedOne) {
  AddDefinition("記録", "", "", "SELECT 1 AS x;");
  struct Case {
    Fields query, posted;
    std::string names;
  };
  const Case cases[] = {
      {{{"SQL", "表示"}}, {}, "表示"},
      {{}, {{"SQL", "表示"}}, "表示"},
      {{{"SQL", "記録"}, {"HTML", "AI2"}}, {}, "記録記録"},
      {{{"HTML", "一覧表"}}, {}, ""},
  };
  for (const Case& c : cases) {
    log = TStringList();
    Serve(c.query, c.posted);
    ASSERT_GE(log.GetCount(), 1u);
    EXPECT_EQ(Stamped(log.Get(0)), std::string("----START---- ") + kHead + " SQL:" + c.names);
  }
}

// Whatever the file held when the log was loaded, after every added line it holds what
// saving the whole list would write: same encoding, CR LF after every entry.
TEST_F(RequestLogTest, FileAlwaysEqualsTheWholeListSaved) {
  struct Case {
    const char* what;
    std::optional<std::string> before;  // none: no file yet
  };
  const Case cases[] = {
      {"no file", std::nullopt},
      {"CR LF lines", "old1\r\n==== END ==== x\n\r\n"},
      {"LF lines", "old1\nold2\n"},
      {"no final line end", "old1\r\nold2"},
      {"UTF-8 mark", "\xEF\xBB\xBFold1\r\n"},
      {"UTF-16 mark", "\xFF\xFEo\0l\0d\0\r\0\n\0"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Folder + "log.txt";
    std::filesystem::remove(path);
    log = TStringList();  // not Clear(): the previous case may have loaded UTF-16
    if (c.before) {
      WriteFile(path, *c.before);
      log.LoadFromFile(path);  // as the start-up does
    }
    const size_t loaded = log.GetCount();
    for (int i = 1; i <= 2; ++i) {
      Serve({{"SQL", "表示"}});
      ASSERT_EQ(log.GetCount(), loaded + 2 * i);
      EXPECT_EQ(LogFile(), WholeListSave());
    }
  }
}

// Once the file matches the list, a new line is written at its end and the lines before it
// are not written again (a crash mid-write can cost at most the line being written).
TEST_F(RequestLogTest, MatchingFileIsAppendedTo) {
  log.Add("ab");
  WriteFile(Folder + "log.txt", "xy\r\n");  // same size as the list's text, other bytes
  Serve({{"SQL", "表示"}});
  EXPECT_TRUE(LogFile().starts_with("xy\r\n----START---- ")) << LogFile();
}

TEST_F(RequestLogTest, LineThatFailedToReachTheFileArrivesWithTheNextWrite) {
  const std::string path = Folder + "log.txt";
  std::filesystem::create_directory(path);  // a folder in the way: the write fails
  RunAll(data(), {"CREATE TABLE hits (n)"});
  AddDefinition("数える", "", "", "INSERT INTO hits VALUES (1);");
  TRequest req = MakeRequest({{"SQL", "数える"}});
  TResponse resp;
  EXPECT_EQ(ErrorOf([&] { CGI(req, resp); }).rfind("Unable to create file \"" + path + "\": ", 0),
            0u);
  EXPECT_EQ(log.GetCount(), 1u);
  EXPECT_TRUE(Column("SELECT count(*) FROM hits") == std::vector<std::string>{"0"})
      << "no phase runs after a failed START line";

  std::filesystem::remove(path);
  Serve({{"SQL", "表示"}});
  ASSERT_EQ(log.GetCount(), 3u);
  EXPECT_EQ(LogFile(), WholeListSave());
}

}  // namespace
