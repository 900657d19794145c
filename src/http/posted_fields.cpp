#include "http/posted_fields.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>
#include <stdexcept>

#include "platform/unicode.h"

namespace nv {

namespace {

uint32_t HashOf(std::string_view folded) {
  const size_t h = std::hash<std::string_view>{}(folded);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

uint32_t Narrow(size_t n) { return static_cast<uint32_t>(n); }

}  // namespace

bool NextNonEmptyLine(std::string_view text, size_t& pos, std::string_view& line) {
  while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
  if (pos >= text.size()) return false;
  size_t end = pos;
  while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
  line = text.substr(pos, end - pos);
  pos = end;
  return true;
}

TPostedFields::Entry TPostedFields::Make(Kind kind, size_t a, size_t name_size, size_t value_at,
                                         size_t value_size) {
  return Entry{Narrow(a), (static_cast<uint32_t>(kind) << kKindShift) | Narrow(name_size),
               Narrow(value_at), Narrow(value_size)};
}

// ---- Building ----

std::string& TPostedFields::AdoptBuffer(std::string buffer) {
  // Offsets are 32 bits and sizes 30: far above the largest body the server takes.
  if (buffer.size() > kSizeMask) throw std::length_error("Posted body too large to index");
  Clear();
  buffer_ = std::move(buffer);
  // Uploaded files point into the buffer: it must not move with the list, as a short text
  // kept inside the string object would.
  if (buffer_.capacity() < 16) buffer_.reserve(16);
  return buffer_;
}

void TPostedFields::AddSpan(size_t name_at, size_t name_size, size_t value_at, size_t value_size) {
  entries_.push_back(Make(Kind::kSpan, name_at, name_size, value_at, value_size));
  if (index_valid_) IndexEntry(Narrow(entries_.size() - 1));
}

void TPostedFields::AddBare(size_t at, size_t size) {
  entries_.push_back(Make(Kind::kBare, at, size, 0, 0));
}

void TPostedFields::AddNumbered(uint32_t number, size_t value_at, size_t value_size) {
  entries_.push_back(Make(Kind::kNumbered, number, 0, value_at, value_size));
  if (index_valid_) IndexEntry(Narrow(entries_.size() - 1));
}

void TPostedFields::ReverseFrom(size_t first) {
  if (first >= entries_.size()) return;
  std::reverse(entries_.begin() + static_cast<long>(first), entries_.end());
  InvalidateIndex();
}

// ---- The list ----

void TPostedFields::Add(std::string entry) {
  owned_.push_back(std::move(entry));
  entries_.push_back(Make(Kind::kOwned, owned_.size() - 1, 0, 0, 0));
  if (index_valid_) IndexEntry(Narrow(entries_.size() - 1));
}

void TPostedFields::Clear() {
  buffer_.clear();
  entries_.clear();
  owned_.clear();
  lines_.clear();
  InvalidateIndex();
}

std::string TPostedFields::Get(size_t i) const {
  const Entry& e = entries_.at(i);
  switch (KindOf(e)) {
    case Kind::kOwned:
      return owned_[e.a];
    case Kind::kBare:
      return std::string(Bytes(e.a, NameSize(e)));
    case Kind::kLines: {
      const Lines& lines = lines_[e.a];
      return lines.name + "=" + LinesValue(lines);
    }
    default: {
      std::string name = GetName(i);
      std::string_view value = ValueView(i);
      std::string text;
      text.reserve(name.size() + 1 + value.size());
      return text.append(name).append("=").append(value);
    }
  }
}

std::string TPostedFields::GetName(size_t i) const {
  const Entry& e = entries_.at(i);
  if (KindOf(e) == Kind::kNumbered) return std::string(kUnnamedPartPrefix) + std::to_string(e.a);
  std::string_view name;
  return StoredName(e, name) ? std::string(name) : std::string();
}

std::string_view TPostedFields::ValueView(size_t i) const {
  const Entry& e = entries_.at(i);
  switch (KindOf(e)) {
    case Kind::kSpan:
    case Kind::kNumbered:
      return Bytes(e.value_at, e.value_size);
    case Kind::kBare:
      return Bytes(e.a, NameSize(e));
    case Kind::kOwned: {
      std::string_view text = owned_[e.a];
      const size_t eq = text.find('=');
      return eq == std::string_view::npos ? text : text.substr(eq + 1);
    }
    case Kind::kLines:
      return LinesValue(lines_[e.a]);
  }
  return std::string_view();
}

std::span<char> TPostedFields::MutableValue(size_t i) {
  const Entry& e = entries_.at(i);
  switch (KindOf(e)) {
    case Kind::kSpan:
    case Kind::kNumbered:
      return std::span<char>(buffer_.data() + e.value_at, e.value_size);
    case Kind::kBare:
      return std::span<char>();
    case Kind::kOwned: {
      std::string& text = owned_[e.a];
      const size_t eq = text.find('=');
      if (eq == std::string::npos) return std::span<char>();
      return std::span<char>(text.data() + eq + 1, text.size() - eq - 1);
    }
    case Kind::kLines: {
      LinesValue(lines_[e.a]);
      std::string& value = *lines_[e.a].value;
      return std::span<char>(value.data(), value.size());
    }
  }
  return std::span<char>();
}

void TPostedFields::Own(size_t i) {
  Entry& e = entries_.at(i);
  if (KindOf(e) == Kind::kOwned) return;
  owned_.push_back(Get(i));
  e = Make(Kind::kOwned, owned_.size() - 1, 0, 0, 0);  // same name: the index stays right
}

void TPostedFields::AppendToValue(size_t i, std::string_view tail) {
  Own(i);
  std::string& text = owned_[entries_[i].a];
  if (text.find('=') == std::string::npos) InvalidateIndex();  // the entry gains a name
  text.append(tail);
}

long TPostedFields::IndexOfName(std::string_view name) const {
  // A name never holds "=": the name of an entry ends at its first one.
  if (name.find('=') != std::string_view::npos) return -1;
  if (!index_valid_) BuildIndex();
  const std::string key = UpperUtf8(name);
  const uint32_t hash = HashOf(key);
  const size_t mask = slots_.size() - 1;
  std::string folded;
  for (size_t s = hash & mask;; s = (s + 1) & mask) {
    const uint64_t slot = slots_[s];
    if (slot == 0) return -1;
    if (static_cast<uint32_t>(slot >> 32) != hash) continue;
    const uint32_t at = static_cast<uint32_t>(slot) - 1;
    if (SameName(entries_[at], name, key, folded)) return static_cast<long>(at);
  }
}

std::string TPostedFields::GetValue(std::string_view name) const {
  const long i = IndexOfName(name);
  return i < 0 ? std::string() : std::string(ValueView(static_cast<size_t>(i)));
}

void TPostedFields::SetValue(std::string_view name, std::string_view value) {
  std::string entry;
  entry.reserve(name.size() + 1 + value.size());
  entry.append(name).append("=").append(value);
  const long i = IndexOfName(name);
  if (i < 0) return Add(std::move(entry));
  Entry& e = entries_[static_cast<size_t>(i)];
  if (KindOf(e) == Kind::kOwned) {
    owned_[e.a] = std::move(entry);
  } else {
    owned_.push_back(std::move(entry));
    e = Make(Kind::kOwned, owned_.size() - 1, 0, 0, 0);
  }
  // The same folded name: the index stays right.
}

void TPostedFields::AppendToValueOf(std::string_view name, std::string_view tail) {
  const long at = IndexOfName(name);
  std::string_view spelt;
  if (at >= 0 && StoredName(entries_[at], spelt) && spelt == name) {
    AppendToValue(static_cast<size_t>(at), tail);
    return;
  }
  // Setting by name also writes the name as spelt here.
  SetValue(name, GetValue(name) + std::string(tail));
}

void TPostedFields::SetLinesValue(std::string_view name, std::string_view text) {
  PutLines(name, Lines{std::string(name), std::string(), text, std::nullopt});
}

void TPostedFields::SetLinesValue(std::string_view name, std::string text) {
  Lines lines{std::string(name), std::move(text), std::string_view(), std::nullopt};
  PutLines(name, std::move(lines));
}

void TPostedFields::PutLines(std::string_view name, Lines lines) {
  if (name.find('=') != std::string_view::npos) {
    // Such a name reads back only up to its "=": the entry is a text like any other.
    if (lines.text.data() == nullptr) lines.text = lines.kept;
    return SetValue(name, LinesValue(lines));
  }
  lines_.push_back(std::move(lines));
  Lines& kept = lines_.back();
  if (kept.text.data() == nullptr) kept.text = kept.kept;  // a deque never moves its entries
  const Entry entry = Make(Kind::kLines, lines_.size() - 1, 0, 0, 0);
  const long i = IndexOfName(name);
  if (i >= 0) {
    entries_[static_cast<size_t>(i)] = entry;  // the same folded name: the index stays right
  } else {
    entries_.push_back(entry);
    if (index_valid_) IndexEntry(Narrow(entries_.size() - 1));
  }
}

bool TPostedFields::LinesSource(size_t i, std::string_view& text) const {
  const Entry& e = entries_.at(i);
  if (KindOf(e) != Kind::kLines || lines_[e.a].value) return false;
  text = lines_[e.a].text;
  return true;
}

const std::string& TPostedFields::LinesValue(const Lines& lines) const {
  if (!lines.value) {
    size_t size = 0;
    std::string_view line;
    for (size_t pos = 0; NextNonEmptyLine(lines.text, pos, line);) size += line.size() + 2;
    std::string value;
    value.reserve(size);
    for (size_t pos = 0; NextNonEmptyLine(lines.text, pos, line);) {
      value.append(line).append("\r\n");
    }
    lines.value = std::move(value);
  }
  return *lines.value;
}

std::vector<std::string> TPostedFields::Items() const {
  std::vector<std::string> items;
  items.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) items.push_back(Get(i));
  return items;
}

// ---- The name index ----

bool TPostedFields::StoredName(const Entry& e, std::string_view& name) const {
  switch (KindOf(e)) {
    case Kind::kSpan:
      name = Bytes(e.a, NameSize(e));
      return true;
    case Kind::kOwned: {
      std::string_view text = owned_[e.a];
      const size_t eq = text.find('=');
      if (eq == std::string_view::npos) return false;
      name = text.substr(0, eq);
      return true;
    }
    case Kind::kLines:
      name = lines_[e.a].name;
      return true;
    case Kind::kBare:
    case Kind::kNumbered:
      return false;
  }
  return false;
}

bool TPostedFields::SameName(const Entry& e, std::string_view name, const std::string& key,
                             std::string& folded) const {
  // Most lookups spell a name as it was posted or written: equal bytes need no folding.
  std::string_view spelt;
  if (StoredName(e, spelt) && !spelt.empty() && spelt == name) return true;
  return FoldedName(e, folded) && folded == key;
}

bool TPostedFields::FoldedName(const Entry& e, std::string& folded) const {
  if (KindOf(e) == Kind::kNumbered) {
    folded = UpperUtf8(kUnnamedPartPrefix);
    folded += std::to_string(e.a);
    return true;
  }
  std::string_view name;
  if (!StoredName(e, name)) return false;
  folded = UpperUtf8(name);
  return true;
}

void TPostedFields::InvalidateIndex() const {
  index_valid_ = false;
  std::vector<uint64_t>().swap(slots_);
  slots_used_ = 0;
}

void TPostedFields::BuildIndex() const {
  // At most half full, so that a probe ends soon.
  const size_t size = std::bit_ceil(std::max<size_t>(16, entries_.size() * 2));
  slots_.assign(size, 0);
  slots_used_ = 0;
  index_valid_ = true;
  for (size_t i = 0; i < entries_.size(); ++i) IndexEntry(Narrow(i));
}

void TPostedFields::IndexEntry(uint32_t i) const {
  if (slots_used_ * 2 >= slots_.size()) {
    // Full enough to slow probes down: rebuilt, larger, for every entry there is now.
    return BuildIndex();
  }
  std::string key;
  if (!FoldedName(entries_[i], key)) return;
  const uint32_t hash = HashOf(key);
  const size_t mask = slots_.size() - 1;
  std::string folded;
  for (size_t s = hash & mask;; s = (s + 1) & mask) {
    const uint64_t slot = slots_[s];
    if (slot == 0) {
      slots_[s] = (static_cast<uint64_t>(hash) << 32) | (i + 1);
      ++slots_used_;
      return;
    }
    if (static_cast<uint32_t>(slot >> 32) != hash) continue;
    const uint32_t at = static_cast<uint32_t>(slot) - 1;
    if (FoldedName(entries_[at], folded) && folded == key) return;  // the first entry wins
  }
}

}  // namespace nv
