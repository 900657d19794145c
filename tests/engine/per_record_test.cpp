#include <gtest/gtest.h>

#include <filesystem>

#include "support/file_size_limit.h"
#include "support/page_fixture.h"

using namespace nv;
using namespace nv::test;

namespace {

using Lines = std::vector<std::string>;

// Every run records what its markers saw and how many runs its connection has served so far
// (a TEMP table lives as long as its connection): runs 1, 2, 3 share one phase connection,
// runs 1, 1, 1 each had their own.
const char kSeeing[] =
    "CREATE TEMP TABLE IF NOT EXISTS runs (n);\n"
    "INSERT INTO runs VALUES (1);\n"
    "INSERT INTO seen VALUES ('「名前」', '「列:1」', '「列:2」', '「行番号」',\n"
    "  (SELECT count(*) FROM runs));";

class PerRecordTest : public PageTest {
 protected:
  void SetUp() override {
    PageTest::SetUp();
    if (IsSkipped()) return;
    RunAll(data(), {"CREATE TABLE seen (name, c1, c2, no, runs)",
                    "CREATE TABLE items (v CHECK (v <> 'bad'))"});
    AddDefinition("行", "", kSeeing, "SELECT 1 AS x;");
    AddDefinition("品目", "", "INSERT INTO items VALUES ('「列:1」');", "SELECT 1 AS x;");
    AddTemplate("一覧表", "ok");
  }
  // name|column 1|column 2|row number|runs on the connection, one per run.
  Lines Seen() {
    return Column(
        "SELECT name || '|' || c1 || '|' || c2 || '|' || no || '|' || runs FROM seen "
        "ORDER BY rowid");
  }
  Lines Items() { return Column("SELECT v FROM items ORDER BY rowid"); }
  Fields Form(const std::string& definition, Fields fields) {
    fields.insert(fields.begin(), {"SQL", definition});
    return fields;
  }
};

TEST_F(PerRecordTest, RowSourcesAndTheirConnectionGroups) {
  struct Case {
    const char* what;
    Fields fields;
    Lines runs;
  };
  const Case cases[] = {
      {"row markers share one connection",
       {{"行番号:1", ""},
        {"名前:1", "A"},
        {"行番号:2", ""},
        {"名前:2", "B"},
        {"行番号:3", ""},
        {"名前:3", "C"}},
       {"A||||1", "B||||2", "C||||3"}},
      {"any suffix, empty value", {{"行番号:甲", ""}, {"名前:甲", "x"}}, {"x||||1"}},
      {"TAB block, blank line skipped, empty column kept",
       {{"明細TAB列", "p\tq\n\nr\t\t s\r\n"}, {"備考", "1"}},
       {"|p|q|1|1", "|r||2|2"}},
      {"TAB block as the last field: a connection per row",
       {{"TAB列", "p\tq\nr\ts"}},
       {"|p|q|1|1", "|r|s|2|1"}},
      {"CSV block: empty cells dropped, quoted comma kept",
       {{"CSV列", "x,,y\n\"a,b\",c\n,,,"}, {"備考", "1"}},
       {"|x|y|1|1", "|a,b|c|2|2", "|||3|3"}},
      {"block between row markers continues their connection",
       {{"行番号:1", ""},
        {"名前:1", "A"},
        {"TAB列", "p\nq"},
        {"行番号:2", ""},
        {"名前:2", "B"},
        {"備考", "1"}},
       {"A||||1", "|p||1|2", "|q||2|3", "B|||2|1"}},
      {"row marker after a committed block runs alone and ends the pass",
       {{"TAB列", "p"},
        {"行番号:1", ""},
        {"名前:1", "A"},
        {"行番号:2", ""},
        {"名前:2", "B"},
        {"備考", "1"}},
       {"|p||1|1", "A|||1|1"}},
      {"no record field: one run without a row", {{"備考", "1"}}, {"||||1"}},
      {"block without a line: no run at all", {{"TAB列", "\n\r\n"}, {"備考", "1"}}, {}},
      {"CSV file field without a file: no run at all", {{"CSVファイル", ""}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunAll(data(), {"DELETE FROM seen"});
    Serve({}, Form("行", c.fields));
    EXPECT_EQ(Seen(), c.runs);
  }
}

// The block's lines are its value when the pass reached it, whatever the runs add to the field:
// rows of the TAB collection, or a merged multiple choice.
TEST_F(PerRecordTest, RunsDoNotSeeWhatTheyAddToTheirBlock) {
  AddDefinition("行TABSET", "", std::string(kSeeing) + "\nSELECT 'added' AS v;", "SELECT 1 AS x;");
  RunAll(data(), {"DELETE FROM seen"});
  TRequest tabset = MakeRequest({{"SQL", "行TABSET"}}, {{"TAB列", "p\nq"}, {"備考", "1"}});
  Serve(tabset);
  EXPECT_EQ(Seen(), (Lines{"|p||1|1", "|q||2|2"}));
  EXPECT_EQ(tabset.ContentFields().GetValue("TAB列"), "p\nqadded\t\n");

  RunAll(data(), {"DELETE FROM seen"});
  TRequest merged =
      MakeRequest({}, Form("行", {{"TAB列", "p\nq"}, {"TAB列複数選択", "r\ns"}, {"備考", "1"}}));
  Serve(merged);
  // The merge joins at the first run, after the pass read "p\nq"; the choice field is a block
  // of its own.
  EXPECT_EQ(Seen(), (Lines{"|p||1|1", "|q||2|2", "|r||1|1", "|s||2|1"}));
  EXPECT_EQ(merged.ContentFields().GetValue("TAB列"), "p\nq,r\ns");
}

TEST_F(PerRecordTest, UploadedCsvFileRunsEachLineOnItsOwnConnection) {
  TRequest req = MakeRequest({}, Form("行", {{"csvファイル", "x.csv"}}));
  req.AddFile("csvファイル", "x.csv", "text/csv", "1,a\r\n\r\n2,b\n3,c");
  Serve(req);
  EXPECT_EQ(Seen(), (Lines{"|1|a|1|1", "|2|b|2|1", "|3|c|3|1"}));
  EXPECT_EQ(req.ContentFields().GetValue("CSV列"), "1,a\r\n2,b\r\n3,c\r\n");
  EXPECT_EQ(req.ContentFields().GetValue("行番号"), "3");
}

// Cells are data: quotes and brackets in them reach the row as typed.
TEST_F(PerRecordTest, CellsAreStoredAsTyped) {
  const Lines cells = {"O'Neil", "x' OR '1'='1", "「列:1」", "『今日』", "〔〕"};
  std::string block;
  for (const std::string& cell : cells) block += cell + "\n";
  Serve({}, Form("品目", {{"CSV列", block}}));
  EXPECT_EQ(Items(), cells);
  RunAll(data(), {"DELETE FROM items"});
  Serve({}, Form("品目", {{"TAB列", block}}));
  EXPECT_EQ(Items(), cells);
}

// A failing row takes the uncommitted rows of its connection with it.
TEST_F(PerRecordTest, FailureInTheFifthRowKeepsOnlyCommittedRows) {
  const std::string block = "a\nb\nc\nd\nbad\n";
  struct Case {
    const char* what;
    Fields fields;
    Lines kept;
  };
  const Case cases[] = {
      {"block is the last field: every row committed alone",
       {{"TAB列", block}},
       {"a", "b", "c", "d"}},
      {"a field follows: one connection, nothing committed", {{"TAB列", block}, {"備考", "1"}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunAll(data(), {"DELETE FROM items"});
    TRequest req = MakeRequest({}, Form("品目", c.fields));
    TResponse resp;
    EXPECT_THROW(CGI(req, resp), std::runtime_error);
    EXPECT_EQ(Items(), c.kept);
    RunAll(data(), {"INSERT INTO items VALUES ('later')"});  // no lock left behind
  }
}

class UploadTest : public PerRecordTest {
 protected:
  void SetUp() override {
    PerRecordTest::SetUp();
    if (IsSkipped()) return;
    AddDefinition("上げ", "", "INSERT INTO trail VALUES ('row');", "SELECT 1 AS x;");
    AddDefinition("見る", "", "", "SELECT 1 AS x;");
    std::filesystem::create_directories(Folder + "images/a/b");
  }
  std::string images(const std::string& relative) const { return Folder + "images/" + relative; }
  // Posts the form of `definition` with one uploaded file in the field "ファイル".
  std::string Post(const std::string& client_name, const std::string& content, Fields fields,
                   const std::string& definition = "上げ") {
    fields.push_back({"ファイル", client_name});
    TRequest req = MakeRequest({}, Form(definition, fields));
    req.AddFile("ファイル", client_name, "image/png", content);
    return ErrorOf([&] { Serve(req); });
  }
};

TEST_F(UploadTest, StoresUnderPathWithRenamedBaseAndLowerCasedExtension) {
  struct Case {
    std::string client;
    Fields fields;
    std::string stored;
  };
  const Case cases[] = {
      {"Photo.JPG", {{"パス", "a/b"}, {"ファイル名変更", "新名"}, {"新名", "p1"}}, "a/b/p1.jpg"},
      {"x.txt", {{"パス", "a\\b"}}, "a/b/x.txt"},
      {"plain.txt", {}, "plain.txt"},
      {"Photo.JPG", {{"ファイル名変更", "新名"}, {"新名", ""}}, "Photo.JPG"},
      {"noext", {{"ファイル名変更", "新名"}, {"新名", "p2"}}, "p2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    WriteFile(images(c.stored), "an older and longer content");
    EXPECT_EQ(Post(c.client, "new", c.fields), "(no error)");
    EXPECT_EQ(ReadFile(images(c.stored)), "new");
  }
  EXPECT_EQ(Trail().size(), std::size(cases));
}

TEST_F(UploadTest, DeleteRequestRemovesTheNamedFileAndStoresNothing) {
  WriteFile(images("a/削除.png"), "1");
  WriteFile(images("a/x.png"), "2");
  EXPECT_EQ(Post("削除.png", "?", {{"パス", "a"}}), "(no error)");
  EXPECT_FALSE(std::filesystem::exists(images("a/削除.png")));
  EXPECT_TRUE(std::filesystem::exists(images("a/x.png")));

  EXPECT_EQ(Post("削除.PNG", "?", {{"パス", "a"}, {"ファイル名変更", "名"}, {"名", "x"}}),
            "(no error)");
  EXPECT_FALSE(std::filesystem::exists(images("a/x.png")));
  EXPECT_FALSE(std::filesystem::exists(images("a/削除.png")));
  EXPECT_EQ(Post("削除.png", "?", {{"パス", "a"}}), "(no error)") << "nothing to delete";
}

TEST_F(UploadTest, MissingFolderFailsBeforeAnyRowRuns) {
  EXPECT_EQ(Post("x.txt", "new", {{"パス", "無い"}}),
            "Unable to create file \"" + images("無い/x.txt") + "\": No such file or directory");
  EXPECT_TRUE(Trail().empty());
}

TEST_F(UploadTest, TargetsOutsideImagesAreRefusedAndNothingIsTouched) {
  WriteFile(Folder + "victim.png", "keep");
  struct Case {
    std::string client;
    Fields fields;
  };
  const Case cases[] = {
      {"evil.txt", {{"パス", ".."}}},
      {"evil.txt", {{"パス", "a/../../"}}},
      {"evil.txt", {{"パス", "..\\"}}},
      {"..\\evil.txt", {}},
      {"x.txt", {{"ファイル名変更", "名"}, {"名", "../evil"}}},
      {"a/", {}},
      {"削除.png", {{"パス", "a/../.."}, {"ファイル名変更", "名"}, {"名", "victim"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.client);
    EXPECT_EQ(Post(c.client, "bad", c.fields).rfind("Invalid upload path \"", 0), 0u);
  }
  EXPECT_FALSE(std::filesystem::exists(Folder + "evil.txt"));
  EXPECT_EQ(ReadFile(Folder + "victim.png"), "keep");
  EXPECT_TRUE(Trail().empty());
  // A ".." that stays inside "images" is an ordinary path.
  EXPECT_EQ(Post("in.txt", "ok", {{"パス", "a/b/.."}}), "(no error)");
  EXPECT_EQ(ReadFile(images("a/in.txt")), "ok");
}

// A file-size limit stands in for a full disk: the new content cannot be written whole.
TEST_F(UploadTest, UploadThatCannotBeWrittenWholeKeepsTheFormerFile) {
  std::string former(100000, '\0');
  for (size_t i = 0; i < former.size(); ++i) former[i] = static_cast<char>(i * 7);
  WriteFile(images("a/b/big.bin"), former);
  std::string error;
  {
    FileSizeLimit full_disk(10000);
    error = Post("big.bin", std::string(20000, 'x'), {{"パス", "a/b"}});
  }
  EXPECT_EQ(error, "Unable to create file \"" + images("a/b/big.bin") + "\": File too large");
  EXPECT_EQ(ReadFile(images("a/b/big.bin")), former);
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(images("a/b")))
    left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"big.bin"}) << "no temporary file stays behind";
  EXPECT_TRUE(Trail().empty());
}

TEST_F(UploadTest, NothingIsStoredWithoutAPerRecordScript) {
  EXPECT_EQ(Post("x.txt", "new", {}, "見る"), "(no error)");
  EXPECT_FALSE(std::filesystem::exists(images("x.txt")));
}

}  // namespace
