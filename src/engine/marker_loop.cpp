// The marker loop, as one forward pass.
//
// The result is the plain loop's over the counted brackets: take the leftmost opener and the
// first closer after it, replace every occurrence of that marker (case ignored) at once, start
// again from the beginning. Inserted data holds no counted bracket, so that loop can be run
// lazily, left to right. An included text is scanned where it was inserted, and only markers
// found after it can match inside it: in the plain loop the earlier ones were done before it
// existed.
//
// Openers that share one closer form a group; their names are nested tails of one another, so
// at most one of them is an occurrence of any one marker. At a closer the pass asks which of
// the markers found so far ("pass t": the replacement made by the t-th) would have met one of
// the group's openers first. That pass replaces the group from that opener on, and the openers
// before it run on to the next closer, where only later passes can meet them. A group that no
// earlier pass meets holds the next new marker, at its first opener.
//
// Each included text hangs below the text that held its marker's opener; walking up from there
// tells whether the file is already being expanded on that way down, which is a cycle.
#include "engine/marker_loop.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/unicode.h"

namespace nv {

namespace {

constexpr size_t kNone = std::string_view::npos;
constexpr size_t kStale = kNone;  // a bracket not searched for yet

// Position of pattern inside text[from, end), kNone when there is none. The brackets are
// three-byte characters whose first byte also starts most Japanese characters, so the search
// looks for the last byte, far rarer in such text, and checks the bytes before it.
size_t FindIn(std::string_view text, std::string_view pattern, size_t from, size_t end) {
  const size_t k = pattern.size() - 1;
  for (size_t at = from + k; at < end;) {
    const void* hit = std::memchr(text.data() + at, pattern[k], end - at);
    if (hit == nullptr) return kNone;
    at = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
    if (text.compare(at - k, k, pattern, 0, k) == 0) return at - k;
    ++at;
  }
  return kNone;
}

// Bytes that are no UTF-8 continuation byte. Upper-casing keeps this count (one code point
// for one, an invalid byte as it is), so names equal ignoring case have equal counts; and it
// adds up over pieces of a text, wherever they are cut.
size_t Leads(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// "16 MiB" for whole mebibytes, else the bytes.
std::string SizeText(size_t bytes) {
  constexpr size_t kMiB = size_t{1} << 20;
  return bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MiB"
                           : std::to_string(bytes) + " bytes";
}

class Expansion {
 public:
  Expansion(const WorkingText& input, const MarkerForm& form, const MarkerValue& value_of,
            const MarkerOrigin& origin_of, size_t max_markup)
      : input_(input),
        form_(form),
        value_of_(value_of),
        origin_of_(origin_of),
        max_markup_(max_markup) {}

  WorkingText Run() {
    sources_.push_back(Source{});
    while (!sources_.empty()) Step();
    return std::move(out_);
  }

 private:
  // A text being scanned: the input, or an included text expanded where its marker stood.
  struct Source {
    bool is_input = true;
    size_t pos = 0;
    size_t range = 0;  // the input's next inserted range
    int since = -1;    // passes up to this one were made before this text was inserted, and
                       // the last of them inserted it (its value is the text)
    int link = -1;     // its place in links_; -1 for the input
    size_t next_open = kStale, next_close = kStale;  // the next brackets, or the stretch's end
  };
  struct Opener {
    size_t at;            // in out_
    size_t leads_before;  // Leads of out_ up to the opener
    size_t leads_name;    // ... up to where its name begins
    int since;            // passes up to this one cannot match it
    int link;             // of the text that holds it
  };
  // An included text's place on its way down: where it comes from, and the text above it.
  struct Link {
    int origin;
    int above;
  };

  std::string_view TextOf(const Source& s) const {
    return s.is_input ? std::string_view(input_.text)
                      : std::string_view(values_[static_cast<size_t>(s.since)]);
  }

  // Scans the top source up to its next counted bracket, or past one inserted range.
  void Step() {
    Source& s = sources_.back();
    const std::string_view text = TextOf(s);
    if (s.pos >= text.size()) {
      sources_.pop_back();
      return;
    }
    const std::vector<WorkingText::Range>* ranges = s.is_input ? &input_.inserted : nullptr;
    const bool range_ahead = ranges != nullptr && s.range < ranges->size();
    if (range_ahead && (*ranges)[s.range].begin <= s.pos) {
      const WorkingText::Range r = (*ranges)[s.range++];
      AppendInserted(text.substr(r.begin, r.end - r.begin));
      s.pos = r.end;
      s.next_open = s.next_close = kStale;  // a new stretch of own text begins
      return;
    }
    const size_t end = range_ahead ? (*ranges)[s.range].begin : text.size();
    // A find is kept until the scan passes it, so a bracket far ahead is searched for once.
    if (s.next_open == kStale || s.next_open < s.pos)
      s.next_open = std::min(FindIn(text, form_.opener, s.pos, end), end);
    if (s.next_close == kStale || s.next_close < s.pos)
      s.next_close = std::min(FindIn(text, form_.closer, s.pos, end), end);
    const size_t at = std::min(s.next_open, s.next_close);
    AppendOwn(text.substr(s.pos, at - s.pos));
    if (at == end) {
      s.pos = end;
    } else if (at == s.next_open) {
      pending_.push_back(
          {out_.text.size(), out_leads_, out_leads_ + Leads(form_.opener), s.since, s.link});
      AppendOwn(form_.opener);
      s.pos = at + form_.opener.size();
    } else {
      s.pos = at + form_.closer.size();
      Close();  // may push a source: s is not used after this
    }
  }

  // At a counted closer; out_ holds everything before it.
  void Close() {
    if (pending_.empty()) {
      AppendOwn(form_.closer);
      return;
    }
    size_t which = 0;
    std::string front_key;  // the first opener's name upper-cased, when it was needed
    if (const int t = EarliestPass(which, front_key); t >= 0) {
      const Opener opener = pending_[which];
      pending_.resize(which);
      for (Opener& p : pending_) p.since = std::max(p.since, t);
      Replace(opener, t);
      return;
    }
    const Opener opener = pending_.front();
    const std::string name(NameOf(opener));
    std::string origin;
    if (form_.values == Inserted::kMarkup) origin = origin_of_ ? origin_of_(name) : name;
    std::optional<std::string> value = value_of_(name);
    pending_.clear();
    if (!value) {
      AppendOwn(form_.closer);
      return;
    }
    const int t = static_cast<int>(values_.size());
    values_.push_back(std::move(*value));
    if (form_.values == Inserted::kMarkup) {
      names_.push_back(name);
      origins_.push_back(origin.empty() ? -1 : OriginId(std::move(origin)));
    }
    next_same_name_.push_back(-1);
    if (front_key.empty()) front_key = UpperUtf8(name);
    const auto [found, added] = passes_by_name_.try_emplace(std::move(front_key), t, t);
    if (!added) {
      next_same_name_[static_cast<size_t>(found->second.second)] = t;
      found->second.second = t;
    }
    name_leads_.insert(out_leads_ - opener.leads_name);
    Replace(opener, t);
  }

  std::string_view NameOf(const Opener& opener) const {
    const size_t from = opener.at + form_.opener.size();
    return std::string_view(out_.text).substr(from);
  }

  // The earliest pass that matches one of the pending openers, -1 when none does; which is
  // that opener's index. front_key receives the first opener's upper-cased name if it was made.
  int EarliestPass(size_t& which, std::string& front_key) const {
    int best = -1;
    for (size_t i = 0; i < pending_.size(); ++i) {
      const Opener& opener = pending_[i];
      if (name_leads_.count(out_leads_ - opener.leads_name) == 0) continue;
      std::string key = UpperUtf8(NameOf(opener));
      const auto found = passes_by_name_.find(key);
      if (i == 0) front_key = std::move(key);
      if (found == passes_by_name_.end()) continue;
      int t = found->second.first;
      while (t >= 0 && t <= opener.since) t = next_same_name_[static_cast<size_t>(t)];
      if (t >= 0 && (best < 0 || t < best)) {
        best = t;
        which = i;
      }
    }
    return best;
  }

  // Pass t replaces the marker from opener to the closer just met.
  void Replace(const Opener& opener, int t) {
    out_.text.resize(opener.at);
    out_leads_ = opener.leads_before;
    std::vector<WorkingText::Range>& ranges = out_.inserted;
    while (!ranges.empty() && ranges.back().begin >= opener.at) ranges.pop_back();
    if (!ranges.empty()) ranges.back().end = std::min(ranges.back().end, opener.at);

    const std::string& value = values_[static_cast<size_t>(t)];
    if (form_.values == Inserted::kData) {
      AppendInserted(value);
      return;
    }
    const int origin = origins_[static_cast<size_t>(t)];
    if (value.empty() || OnTheWayDown(opener.link, origin)) return;  // a cycle gives nothing
    markup_bytes_ += value.size();
    if (markup_bytes_ > max_markup_) {
      throw std::runtime_error("Include files expand to more than " + SizeText(max_markup_) +
                               " of text (at " + std::string(form_.opener) +
                               names_[static_cast<size_t>(t)] + std::string(form_.closer) + ")");
    }
    links_.push_back({origin, opener.link});
    Source included;
    included.is_input = false;
    included.since = t;
    included.link = static_cast<int>(links_.size()) - 1;
    sources_.push_back(included);
  }

  // True when origin is the origin of link or of a text above it.
  bool OnTheWayDown(int link, int origin) const {
    if (origin < 0) return false;
    for (; link >= 0; link = links_[static_cast<size_t>(link)].above)
      if (links_[static_cast<size_t>(link)].origin == origin) return true;
    return false;
  }

  int OriginId(std::string origin) {
    return origin_ids_.try_emplace(std::move(origin), static_cast<int>(origin_ids_.size()))
        .first->second;
  }

  void AppendOwn(std::string_view s) {
    out_.text.append(s);
    out_leads_ += Leads(s);
  }

  void AppendInserted(std::string_view s) {
    if (s.empty()) return;
    std::vector<WorkingText::Range>& ranges = out_.inserted;
    const size_t at = out_.text.size();
    if (!ranges.empty() && ranges.back().end == at)
      ranges.back().end += s.size();
    else
      ranges.push_back({at, at + s.size()});
    AppendOwn(s);
  }

  const WorkingText& input_;
  const MarkerForm& form_;
  const MarkerValue& value_of_;
  const MarkerOrigin& origin_of_;
  const size_t max_markup_;

  std::vector<Source> sources_;  // the top one is scanned
  WorkingText out_;
  size_t out_leads_ = 0;
  std::vector<Opener> pending_;  // openers without a closer yet, in text order

  std::vector<std::string> values_;  // of the markers found, by pass
  // Upper-cased name to its first and last pass; the passes of one name are chained.
  std::unordered_map<std::string, std::pair<int, int>> passes_by_name_;
  std::vector<int> next_same_name_;        // by pass: the next pass of its name, -1 when none
  std::unordered_set<size_t> name_leads_;  // Leads of the names found: most names need no fold

  // kMarkup stages only.
  std::vector<std::string> names_;  // by pass: the name as first found
  std::vector<int> origins_;        // by pass: where its value comes from, -1 for nowhere
  std::unordered_map<std::string, int> origin_ids_;
  std::vector<Link> links_;  // one per included text
  size_t markup_bytes_ = 0;
};

}  // namespace

void ExpandMarkers(WorkingText& text, const MarkerForm& form, const MarkerValue& value_of,
                   const MarkerOrigin& origin_of, size_t max_markup) {
  WorkingText out = Expansion(text, form, value_of, origin_of, max_markup).Run();
  text = std::move(out);
}

}  // namespace nv
