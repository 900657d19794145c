#include "engine/request_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "auth/basic_auth.h"
#include "auth/cipher.h"
#include "platform/files.h"
#include "support/file_size_limit.h"
#include "support/page_fixture.h"

using namespace nv;
using namespace nv::test;
using namespace std::string_literals;

namespace {

const char kHead[] = "<T>ms IPAddress:192.0.2.7 User:taro(営業)";

ino_t Inode(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_ino;
}

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
      LoadRequestLog();
    }
    const size_t loaded = log.GetCount();
    for (int i = 1; i <= 2; ++i) {
      Serve({{"SQL", "表示"}});
      ASSERT_EQ(log.GetCount(), loaded + 2 * i);
      EXPECT_EQ(LogFile(), WholeListSave());
    }
  }
}

// Once the file matches the list (after a start that found it so, or after a line of this
// process), a new line is written at its end: the file stays the same file and the lines
// before it are not written again (a crash mid-write can cost at most the line being written).
TEST_F(RequestLogTest, MatchingFileIsAppendedTo) {
  const std::string path = Folder + "log.txt";
  WriteFile(path, "old1\r\n\r\nold2\r\n");
  LoadRequestLog();
  const ino_t file = Inode(path);
  Serve({{"SQL", "表示"}});
  EXPECT_EQ(Inode(path), file);
  EXPECT_EQ(log.GetCount(), 5u);
  EXPECT_EQ(LogFile(), WholeListSave());
}

// Another program changes the file without changing its size: the next line notices and
// writes the whole list again.
TEST_F(RequestLogTest, SameSizeChangeByAnotherProgramIsRepaired) {
  Serve({{"SQL", "表示"}});
  const std::string path = Folder + "log.txt";
  const std::optional<FileStamp> before = StampOf(path);
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.write("XXXX", 4);  // in place: same file, same size
  }
  if (StampOf(path) == before) GTEST_SKIP() << "the file system's times cannot show this change";
  Serve({{"SQL", "表示"}});
  EXPECT_EQ(LogFile(), WholeListSave());
}

// The file stays open between lines. Whatever happens to "log.txt" meanwhile, the next line
// does what opening the file by its name for that line did: a file deleted, renamed away,
// replaced (by one of the same size) or turned into a link, and one another program added to,
// all get the whole list, and no line goes to the former file, which nobody may see any more.
TEST_F(RequestLogTest, ChangesToTheFileBetweenLinesAreHandledAsByAFreshOpen) {
  const std::string path = Folder + "log.txt";
  const std::string other = Folder + "other.txt";
  struct Case {
    const char* what;
    std::function<void()> change;
  };
  const Case cases[] = {
      {"deleted", [&] { std::filesystem::remove(path); }},
      {"renamed", [&] { std::filesystem::rename(path, Folder + "old.txt"); }},
      {"replaced by a file of the same size",
       [&] {
         WriteFile(other, std::string(std::filesystem::file_size(path), 'x'));
         std::filesystem::rename(other, path);
       }},
      {"replaced by a link",
       [&] {
         WriteFile(other, "other\r\n");
         std::filesystem::remove(path);
         std::filesystem::create_symlink("other.txt", path);
       }},
      {"added to by another program",
       [&] { std::ofstream(path, std::ios::app | std::ios::binary) << "another\r\n"; }},
  };
  // What the folder's text files hold after two requests with the change between them,
  // stamps as "<T>", links shown as such.
  const auto outcome = [&](const Case& c, bool kept) {
    for (const char* name : {"log.txt", "old.txt", "other.txt"})
      std::filesystem::remove(Folder + name);
    log = TRequestLog();
    Serve({{"SQL", "表示"}});
    c.change();
    if (!kept) log.file.Close();  // the next line opens the file by its name
    Serve({{"SQL", "表示"}});
    EXPECT_EQ(LogFile(), WholeListSave());
    std::string files;
    for (const char* name : {"log.txt", "old.txt", "other.txt"}) {
      const std::string file = Folder + name;
      if (std::filesystem::is_symlink(file)) files += std::string(name) + " -> ";
      if (std::filesystem::exists(file)) files += std::string(name) + ":" + ReadFile(file) + "|";
    }
    return Stamped(files);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(outcome(c, true), outcome(c, false));
  }
}

// The handler decodes the credentials once: the gate and both log lines get the user that
// decoding them for each had given, also from odd headers.
TEST_F(RequestLogTest, OddHeadersGiveTheGateAndTheLinesTheSameUser) {
  Insert(definitions(), "INSERT INTO 利用者情報 VALUES (?, ?, ?)",
         {"", StoredCipherText("nocolon"), "空名"});
  const std::string taro = EncodeStringBase64("taro:pw");  // dGFybzpwdw==
  struct Case {
    std::string header;
    const char* user;  // nullptr: refused
    const char* role;
  };
  const Case cases[] = {
      {"Basic " + taro, "taro", "営業"},
      {"Basic\t" + taro, "taro", "営業"},  // any separator
      {"Basic:" + taro, "taro", "営業"},
      {"Basic  " + taro, "taro", "営業"},          // a second blank is skipped as no Base64
      {"Basic dGF$ybz#pwd w==", "taro", "営業"},   // so is anything outside the alphabet
      {"Basic " + taro + "Zm9v", "taro", "営業"},  // decoding stops at the first "="
      {"Basic " + EncodeStringBase64("nocolon"), "", "空名"},     // the empty name, all password
      {"Basic " + EncodeStringBase64("taro:pw:x"), nullptr, ""},  // later colons: password
      {"Basic", nullptr, ""},
      {"Basic ", nullptr, ""},
      {"Basic !!!!", nullptr, ""},
      {"basic " + taro, nullptr, ""},
      {"", nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    log = TStringList();
    TRequest req = MakeRequest({{"SQL", "表示"}});
    req.Authorization = c.header;
    TResponse resp;
    CGI(req, resp);
    if (c.user == nullptr) {
      EXPECT_EQ(resp.Code, 401);
      EXPECT_EQ(log.GetCount(), 0u);
      continue;
    }
    EXPECT_EQ(c.user, GetBasicAuth(c.header, "User"));
    const std::string who = std::string(" User:") + c.user + "(" + c.role + ")";
    ASSERT_EQ(log.GetCount(), 2u);
    EXPECT_TRUE(Stamped(log.Get(0)).starts_with("----START---- <T>ms IPAddress:192.0.2.7" + who))
        << log.Get(0);
    EXPECT_TRUE(Stamped(log.Get(1)).starts_with("==== END ==== <T>ms IPAddress:192.0.2.7" + who))
        << log.Get(1);
  }
}

// Values that hold line breaks cannot make lines of their own: each entry stays one line.
TEST_F(RequestLogTest, LineBreaksInValuesBecomeBlanks) {
  const std::string forged =
      "x\r\n----START---- 2024-01-01 00:00:00 000ms IPAddress:10.0.0.1 "
      "User:admin(Web管理者) SQL:y";
  const std::string start = std::string("----START---- ") + kHead + " SQL:";
  const std::string shown = start +
                            "x  ----START---- <T>ms IPAddress:10.0.0.1 "
                            "User:admin(Web管理者) SQL:y";
  struct Case {
    const char* what;
    Fields query, posted;
    std::vector<std::string> lines;  // of the file, stamps as "<T>"
  };
  const Case cases[] = {
      {"posted name", {}, {{"SQL", forged}}, {shown}},
      {"query name", {{"SQL", forged}}, {}, {shown}},
      {"template name",
       {{"SQL", "表示"}, {"HTML", "a\nb\rc"}},
       {},
       {start + "表示", "==== END ==== " + std::string(kHead) + " HTML:a b c", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(Folder + "log.txt");
    log = TStringList();
    Serve(c.query, c.posted);
    TStringList file;
    file.LoadFromFile(Folder + "log.txt");
    std::vector<std::string> lines;
    for (const std::string& line : file.Items()) lines.push_back(Stamped(line));
    EXPECT_EQ(lines, c.lines);
  }
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

// The whole rewrite on a real file system, called as the page handler calls it. The file starts
// out in another form than the list's (LF line ends), so the first line rewrites it whole.
class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessValues(dir.folder() + "app/");
    std::filesystem::create_directory(Folder);
    request.RemoteAddress = kRemote;
  }
  std::string path() const { return Folder + "log.txt"; }
  // Loads the log as the start-up does, then adds two lines: a whole rewrite, an append.
  void StartAndAddTwoLines() {
    LoadRequestLog();
    AddStartLogLine(request, "taro", kRole);
    AddStartLogLine(request, "taro", kRole);
  }
  static std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static mode_t Mode(const std::string& file) {
    struct stat st {};
    stat(file.c_str(), &st);
    return st.st_mode & 07777;
  }

  TempDir dir;
  TRequest request;
};

TEST_F(LogFileTest, LinkStaysAndItsTargetGetsTheLines) {
  const std::string target = dir.file("elsewhere/real.txt");
  WriteFile(target, "old\n");
  ASSERT_EQ(symlink("../elsewhere/real.txt", path().c_str()), 0);
  StartAndAddTwoLines();
  EXPECT_TRUE(std::filesystem::is_symlink(path()));
  EXPECT_EQ(std::filesystem::read_symlink(path()), "../elsewhere/real.txt");
  EXPECT_EQ(ReadFile(target), log.SavedBytes());
  EXPECT_EQ(Names(dir.file("elsewhere")), std::vector<std::string>{"real.txt"});
}

TEST_F(LogFileTest, PermissionBitsAndOwnerStay) {
  WriteFile(path(), "old\n");
  ASSERT_EQ(chmod(path().c_str(), 0640), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path().c_str(), 65534, 65534), 0);
  }
  StartAndAddTwoLines();
  EXPECT_EQ(Mode(path()), 0640u);
  if (root) {
    struct stat st {};
    stat(path().c_str(), &st);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }
  EXPECT_EQ(ReadFile(path()), log.SavedBytes());
}

// A rewrite that cannot be written whole (a file-size limit stands in for a full disk) leaves
// the former file as it was; the next successful write brings the whole list.
TEST_F(LogFileTest, FailedRewriteLeavesTheFormerFileWhole) {
  WriteFile(path(), "old\n");
  LoadRequestLog();
  SQLname = std::string(300, 'n');
  std::string error;
  {
    FileSizeLimit full_disk(100);
    error = ErrorOf([&] { AddStartLogLine(request, "taro", kRole); });
  }
  EXPECT_EQ(error, "Unable to create file \"" + path() + "\": File too large");
  EXPECT_EQ(ReadFile(path()), "old\n");
  EXPECT_EQ(Names(Folder), std::vector<std::string>{"log.txt"});
  AddStartLogLine(request, "taro", kRole);
  EXPECT_EQ(log.GetCount(), 3u);
  EXPECT_EQ(ReadFile(path()), log.SavedBytes());
}

// A folder the server may not create files in, holding a "log.txt" it may write: the file is
// rewritten in place. Permissions do not bind root, so the lines are added as another user.
TEST_F(LogFileTest, ReadOnlyFolderWithAWritableFile) {
  WriteFile(path(), "old\n");
  const bool root = geteuid() == 0;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  if (root) {
    ASSERT_EQ(chown(path().c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(chmod(Folder.c_str(), 0555), 0);
  constexpr int kCannotShow = 77;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(kCannotShow);
    if (access(Folder.c_str(), W_OK) == 0) _exit(kCannotShow);
    try {
      StartAndAddTwoLines();
    } catch (const std::exception&) {
      _exit(1);
    }
    _exit(ReadFile(path()) == log.SavedBytes() && log.GetCount() == 3 ? 0 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  chmod(Folder.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kCannotShow)
    GTEST_SKIP() << "no user here for whom a folder's permissions bind";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the lines failed, 2: the file differs from the list";
  EXPECT_TRUE(ReadFile(path()).starts_with("old\r\n----START---- "));
  EXPECT_EQ(Names(Folder), std::vector<std::string>{"log.txt"});
}

}  // namespace
