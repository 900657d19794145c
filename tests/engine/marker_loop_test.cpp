#include "engine/marker_loop.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/unicode.h"
#include "text/strings.h"

using namespace nv;

namespace {

using Values = std::map<std::string, std::string>;  // by upper-cased name

constexpr MarkerForm kInclude = {"【", "】", Inserted::kMarkup};
constexpr MarkerForm kRequest = {"「", "」"};
constexpr MarkerForm kColumn = {"「列:", "」"};
constexpr MarkerForm kMemory = {"『", "』"};

// A stage whose values come from a table; it notes every name it is asked for.
struct Stage {
  MarkerForm form;
  Values values;
  std::vector<std::string> asked;

  std::optional<std::string> ValueOf(std::string_view name) {
    asked.emplace_back(name);
    // Include files are found by their name as written, the others ignoring case.
    auto found =
        values.find(form.values == Inserted::kMarkup ? std::string(name) : UpperUtf8(name));
    return found == values.end() ? std::string() : found->second;
  }
};

WorkingText Expand(std::string text, std::vector<Stage>& stages) {
  WorkingText working{std::move(text), {}};
  for (Stage& stage : stages)
    ExpandMarkers(working, stage.form, [&](std::string_view name) { return stage.ValueOf(name); });
  return working;
}

// The loop written out plainly: the leftmost opener, the first closer after it, every
// occurrence of that marker replaced at once (case ignored), then again from the start. It
// counts every bracket; inserted data is kept out of it by writing the characters of the
// brackets in inserted values as private-use characters, restored at the end.
const std::vector<std::pair<std::string, std::string>> kMasks = {
    {"「", "\uE000"}, {"」", "\uE001"}, {"『", "\uE002"}, {"』", "\uE003"},
    {"【", "\uE004"}, {"】", "\uE005"}, {"列", "\uE006"}, {":", "\uE007"},
};
std::string Mask(std::string text) {
  for (const auto& [bracket, mask] : kMasks)
    text = StringReplace(text, bracket, mask, rfReplaceAll);
  return text;
}
std::string Unmask(std::string text) {
  for (const auto& [bracket, mask] : kMasks)
    text = StringReplace(text, mask, bracket, rfReplaceAll);
  return text;
}

std::string PlainLoop(std::string text, std::vector<Stage>& stages) {
  for (Stage& stage : stages) {
    const std::string opener(stage.form.opener), closer(stage.form.closer);
    for (int rounds = 0;; ++rounds) {
      if (rounds == 100000) {
        ADD_FAILURE() << "the plain loop did not end";
        break;
      }
      const size_t open = text.find(opener);
      if (open == std::string::npos) break;
      const size_t close = text.find(closer, open + opener.size());
      if (close == std::string::npos) break;
      const std::string name = text.substr(open + opener.size(), close - open - opener.size());
      std::string value = *stage.ValueOf(Unmask(name));
      if (stage.form.values == Inserted::kData) value = Mask(value);
      text = StringReplace(text, text.substr(open, close + closer.size() - open), value,
                           rfReplaceAll | rfIgnoreCase);
    }
  }
  return Unmask(text);
}

// Random texts against the plain loop: the same text, and the same names asked for in the same
// order. Values hold brackets and the names of other markers; include files hold markers of
// every stage (but include no file again, or the plain loop would never end).
struct RandomCase {
  std::vector<std::string> pieces;
  Values files, data;
};

TEST(MarkerLoop, SameAsThePlainLoopWithInsertedBracketsMasked) {
  const RandomCase cases[] = {
      // Few pieces, so markers repeat, nest and share closers.
      {{"「", "」", "『", "』", "【", "】", "a", "b", "A"},
       {{"a", "「a」【b】"}, {"b", "『a"}, {"A", "】"}},
       {{"A", "a"}, {"B", "b」"}, {"AA", "「a」"}, {"", "e"}, {"A「A", "x"}}},
      // Case variants, folds that change a character's length (ı, İ, ß), stray bytes.
      {{"「", "」", "『", "』", "【", "】",   "「列:", "列",   ":",   "a",
        "A",  "ä",  "Ä",  "ı",  "I",  "i",    "İ",     "ß",    "σ",   "Σ",
        "x",  "b",  "1",  "2",  " ",  "\r\n", "\xE3",  "\x80", "\xC3"},
       {{"a", "<「a」【b】>"}, {"b", "『a"}, {"ı", "】"}, {"ä", "「【b】"}, {"1", ""}},
       {{"A", "va"},
        {"I", "dotless"},
        {"Σ", "」sigma"},
        {"SS", "eszett"},
        {"Ä", "Ä』"},
        {"X", "」x】"},
        {"B", "b"},
        {"1", "「列:1」"},
        {"列:1", "『a』"},
        {"İ", "「İ」"},
        {"A「A", "both"},
        {"ı」", "inside"}}},
  };
  const std::vector<std::vector<MarkerForm>> orders = {{kInclude, kRequest, kMemory},
                                                       {kMemory, kColumn, kRequest}};
  unsigned seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  for (int round = 0; round < 40000; ++round) {
    const RandomCase& c = cases[round % 2];
    std::string text;
    for (unsigned n = next() % 30; n > 0; --n) text += c.pieces[next() % c.pieces.size()];
    SCOPED_TRACE(text);
    std::vector<Stage> forward, plain;
    for (const MarkerForm& form : orders[round / 2 % orders.size()]) {
      forward.push_back({form, form.values == Inserted::kMarkup ? c.files : c.data, {}});
      plain.push_back(forward.back());
    }
    ASSERT_EQ(Expand(text, forward).text, PlainLoop(text, plain));
    for (size_t i = 0; i < forward.size(); ++i) ASSERT_EQ(forward[i].asked, plain[i].asked);
  }
}

TEST(MarkerLoop, InsertedValuesAreFinal) {
  struct Case {
    const char* what;
    std::string text, expect;
  };
  const Case cases[] = {
      {"a value holding its own marker", "「own」", "「own」!"},
      {"a value holding other markers", "「other」", "『m』「own」"},
      {"an inserted opener opens nothing", "「opener」x」", "「x」"},
      // The second 「closer」 repeats the first; 「a runs on to the next closer of the text.
      {"an inserted closer closes nothing", "「closer」「a「closer」b」", "」name"},
      {"the stage's brackets around an inserted name", "『「key」』", "M"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Stage> stages = {{kRequest,
                                  {{"OWN", "「own」!"},
                                   {"OTHER", "『m』「own」"},
                                   {"OPENER", "「"},
                                   {"CLOSER", "」"},
                                   {"A」B", "name"},
                                   {"KEY", "m"}},
                                  {}},
                                 {kMemory, {{"M", "M"}}, {}}};
    const WorkingText out = Expand(c.text, stages);
    EXPECT_EQ(out.text, c.expect);
  }
}

TEST(MarkerLoop, InsertedRangesCoverEveryValue) {
  std::vector<Stage> stages = {{kMemory, {{"M", "『m』"}}, {}}, {kRequest, {{"R", "「r」"}}, {}}};
  const WorkingText out = Expand("<『m』「『m』」-「r」>", stages);
  // The text's own 「」 around an inserted 『m』 make a request marker of that name (no value).
  EXPECT_EQ(out.text, "<『m』-「r」>");
  ASSERT_EQ(out.inserted.size(), 2u);
  EXPECT_EQ(out.text.substr(out.inserted[0].begin, out.inserted[0].end - out.inserted[0].begin),
            "『m』");
  EXPECT_EQ(out.text.substr(out.inserted[1].begin, out.inserted[1].end - out.inserted[1].begin),
            "「r」");
}

// Only a file already being expanded on the way down is cut; it gives nothing there.
TEST(MarkerLoop, IncludesAreCutOnlyOnACycle) {
  Values files = {{"loop", "a【loop】b"},
                  {"two", "【loop】【loop】"},
                  {"ping", "p【pong】"},
                  {"pong", "q【ping】"},
                  {"x", "【y】【y】"},
                  {"y", "【z】"},
                  {"z", "z"},
                  {"wide", "【x】【y】【x】"}};
  for (int i = 1; i < 20; ++i)
    files["c" + std::to_string(i)] = std::to_string(i) + "【c" + std::to_string(i + 1) + "】";
  files["c20"] = "20";
  const struct {
    const char* text;
    std::string expect;
    size_t asked;
  } cases[] = {
      {"【c1】", "1234567891011121314151617181920", 20},
      {"【loop】", "ab", 2},
      // The second copy repeats the markers found in the first and asks for nothing.
      {"【two】", "abab", 3},
      {"【ping】|【pong】", "pq|qp", 4},
      // A file met again beside itself, not below itself, is no cycle.
      {"【wide】", "zzzzz", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<Stage> stages = {{kInclude, files, {}}};
    EXPECT_EQ(Expand(c.text, stages).text, c.expect);
    EXPECT_EQ(stages[0].asked.size(), c.asked);
  }
}

// Two names of one origin are one file to the cycle test.
TEST(MarkerLoop, CycleTestComparesOrigins) {
  const Values files = {{"a", "A【b】"}, {"b", "B【./a】"}, {"./a", "X"}};
  WorkingText text{"【a】", {}};
  ExpandMarkers(
      text, kInclude,
      [&](std::string_view name) -> std::optional<std::string> {
        const auto found = files.find(std::string(name));
        return found == files.end() ? std::string() : found->second;
      },
      [](std::string_view name) {
        return std::string(name.substr(name.starts_with("./") ? 2 : 0));
      });
  EXPECT_EQ(text.text, "AB");
}

// Nesting without a cycle expands at any depth without deepening the call stack.
TEST(MarkerLoop, DeepChainExpandsWhole) {
  constexpr int kDepth = 10000;
  std::vector<std::string> files(kDepth + 1);
  std::string expect;
  for (int i = 1; i <= kDepth; ++i) {
    files[i] = "." + std::string(i == kDepth ? "" : "【" + std::to_string(i + 1) + "】");
    expect += ".";
  }
  WorkingText text{"【1】", {}};
  ExpandMarkers(text, kInclude, [&](std::string_view name) -> std::optional<std::string> {
    return files[std::stoul(std::string(name))];
  });
  EXPECT_EQ(text.text, expect);
}

// Without a cycle, a text can still multiply: each file including the next ten times.
TEST(MarkerLoop, GrowingIncludesFailAtTheBound) {
  Values files = {{"g8", "0123456789"}};
  for (int i = 1; i < 8; ++i) {
    std::string text;
    for (int k = 0; k < 10; ++k) text += "【g" + std::to_string(i + 1) + "】";
    files["g" + std::to_string(i)] = text;
  }
  const auto value_of = [&](std::string_view name) -> std::optional<std::string> {
    return files.at(std::string(name));
  };
  WorkingText text{"【g1】", {}};
  try {
    ExpandMarkers(text, kInclude, value_of, nullptr, 100000);
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Include files expand to more than 100000 bytes of text (at 【g8】)");
  }
  EXPECT_EQ(text.text, "【g1】");  // left as it was
  // Within the bound the same files expand whole.
  text = {"【g5】", {}};
  ExpandMarkers(text, kInclude, value_of, nullptr, 100000);
  EXPECT_EQ(text.text.size(), 10000u);
}

TEST(MarkerLoop, UnresolvedMarkersStayAsWritten) {
  int calls = 0;
  WorkingText text{"「a」「b」「a」", {}};
  ExpandMarkers(text, kRequest, [&](std::string_view name) -> std::optional<std::string> {
    ++calls;
    if (name == "a") return std::nullopt;
    return std::string("B");
  });
  EXPECT_EQ(text.text, "「a」B「a」");
  EXPECT_EQ(calls, 3);  // nothing was found for a, so its next occurrence asks again
}

TEST(MarkerLoop, EveryMarkerOfALongLineExpands) {
  std::string line, expect;
  Values values;
  for (int i = 0; i < 100000; ++i) {
    const std::string name = "n" + std::to_string(i % 20000);
    line += "「" + name + "」,";
    expect += "v" + std::to_string(i % 20000) + ",";
    values[UpperUtf8(name)] = "v" + std::to_string(i % 20000);
  }
  std::vector<Stage> stages = {{kRequest, values, {}}};
  EXPECT_EQ(Expand(line, stages).text, expect);
  EXPECT_EQ(stages[0].asked.size(), 20000u);
}

}  // namespace
