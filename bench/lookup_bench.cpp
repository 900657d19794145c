// One definition lookup (open "ZURazo.db", query, close) on a definition database of 1,000
// definitions, timed one by one. Usage: bench_lookup [engine library ...]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/sqlite_db.h"
#include "engine/definition_lookup.h"
#include "globals/globals.h"

namespace {

constexpr int kDefinitions = 1000;
constexpr int kLookups = 5000;

std::string name_of(int i) { return "定義" + std::to_string(i); }

void build(const std::string& path, const std::string& library, bool indexed) {
  std::filesystem::remove(path);
  nv::TSQLite3Connection conn;
  nv::SQLiteDefaultLibrary = library;
  conn.DatabaseName = path;
  conn.Open();
  conn.CreateTransaction();
  conn.ExecuteDirect(std::string("CREATE TABLE SQL (名称 TEXT") + (indexed ? " PRIMARY KEY" : "") +
                     ", 実行権限 TEXT, データベース TEXT, 暗号化 TEXT, 入力開始時のSQL文等 TEXT, "
                     "入力一件分のSQL文等 TEXT, 表示用のSQL文等 TEXT)");
  nv::TSQLQuery insert;
  insert.SetDatabase(&conn);
  const std::string script =
      "SELECT 品名, 数量, 単価 FROM 在庫 WHERE 倉庫 == '「倉庫」' ORDER BY 品名;\n";
  for (int i = 0; i < kDefinitions; ++i) {
    insert.SetSQL("INSERT INTO SQL VALUES (:n, 'Web管理者,営業', './data/app.db', '', '', '', :s)");
    insert.ParamByName("n").SetAsString(name_of(i));
    insert.ParamByName("s").SetAsString(script + std::to_string(i));
    insert.ExecSQL();
  }
  conn.Transaction()->Commit();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void run(const std::string& library, bool indexed) {
  build(nv::Folder + "ZURazo.db", library, indexed);
  nv::SQLiteCipher = library;
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pick(0, kDefinitions - 1);
  nv::TPageRequestState state;
  std::vector<double> micros;
  micros.reserve(kLookups);
  for (int i = 0; i < kLookups + 100; ++i) {
    const std::string name = name_of(pick(random));
    const auto start = std::chrono::steady_clock::now();
    nv::TStringList list = nv::GetZURazo(state, "SQL", name, "表示用のSQL文等", "営業");
    const auto end = std::chrono::steady_clock::now();
    if (list.GetCount() != 3) {
      std::fprintf(stderr, "lookup of %s found nothing\n", name.c_str());
      std::exit(1);
    }
    if (i >= 100) micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::printf("| %s | %s | %d | %.1f | %.1f |\n", library.c_str(), indexed ? "primary key" : "none",
              kLookups, median(micros), *std::min_element(micros.begin(), micros.end()));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> libraries(argv + 1, argv + argc);
  if (libraries.empty()) libraries = {NORVANE_SQLITE_LIB};  // as the build found it
  std::string folder = (std::filesystem::temp_directory_path() / "nv_bench_XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) return 1;
  nv::Folder = folder + "/";
  std::printf("| engine library | index on 名称 | lookups | median µs | min µs |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const std::string& library : libraries) {
    for (bool indexed : {false, true}) run(library, indexed);
  }
  std::filesystem::remove_all(folder);
  return 0;
}
