// The posted fields of a request: a name=value list held over the one buffer they were parsed
// from. An entry is a few offsets into that buffer rather than a string of its own, so a body
// of a million tiny fields costs a few bytes a field beside the body instead of a heap string
// each. Entries written later (by the page phases) are strings of their own.
//
// Reading follows the rules of every name=value list: the name is the text before an entry's
// first "=", names are compared with case ignored for every script, and the first entry of a
// name wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nv {

// The name a multipart part without a name gets: this text and the part's position.
inline constexpr std::string_view kUnnamedPartPrefix = "DummyFileItem";

// The next non-empty line of text from pos on, a line ending at CR, LF or CR LF; false after
// the last. pos starts at 0.
bool NextNonEmptyLine(std::string_view text, size_t& pos, std::string_view& line);

class TPostedFields {
 public:
  TPostedFields() = default;
  TPostedFields(TPostedFields&&) noexcept = default;
  TPostedFields& operator=(TPostedFields&&) noexcept = default;
  // A body can be large: a copy is never made by accident.
  TPostedFields(const TPostedFields&) = delete;
  TPostedFields& operator=(const TPostedFields&) = delete;

  // ---- Building, for the body parsers ----

  // Takes the buffer the next entries lie in, dropping every entry there is. The returned
  // buffer may be rewritten in place (decoding shortens it) before entries point into it.
  // Throws std::length_error beyond 4 GiB.
  std::string& AdoptBuffer(std::string buffer);
  // "name=value" with both taken from the buffer.
  void AddSpan(size_t name_at, size_t name_size, size_t value_at, size_t value_size);
  // An entry without "=", taken from the buffer: it has no name.
  void AddBare(size_t at, size_t size);
  // kUnnamedPartPrefix + number, "=", value from the buffer.
  void AddNumbered(uint32_t number, size_t value_at, size_t value_size);
  // Reverses the order of the entries from position first on (the parts of a multipart body
  // are listed last first).
  void ReverseFrom(size_t first);
  void Reserve(size_t count) { entries_.reserve(count); }

  // ---- The list ----

  size_t GetCount() const { return entries_.size(); }
  void Add(std::string entry);
  void Clear();

  // The whole entry, "name=value" (or its text, for an entry without "=").
  std::string Get(size_t i) const;
  std::string GetName(size_t i) const;
  // The value, or the whole text of an entry without "=". Valid until the list changes.
  std::string_view ValueView(size_t i) const;
  std::string GetValueFromIndex(size_t i) const { return std::string(ValueView(i)); }
  // The value's bytes, to be rewritten in place without changing their length; empty for an
  // entry without "=".
  std::span<char> MutableValue(size_t i);
  // Appends to the value of entry i (a field that collects rows grows without being copied).
  void AppendToValue(size_t i, std::string_view tail);

  // Position of the first entry with that name, -1 when none.
  long IndexOfName(std::string_view name) const;
  std::string GetValue(std::string_view name) const;
  // Rewrites the first entry of that name as name=value, or adds one at the end.
  void SetValue(std::string_view name, std::string_view value);
  // SetValue(name, GetValue(name) + tail), appending where the value stands when the first
  // entry of that name is spelt as name is.
  void AppendToValueOf(std::string_view name, std::string_view tail);

  // SetValue with the value: the non-empty lines of text (a line ends at CR, LF or CR LF),
  // each followed by CR LF. The value is built only when it is read whole; until then its
  // lines are read from text, which must outlive the list (a file's content in the body).
  void SetLinesValue(std::string_view name, std::string_view text);
  // The same over a text the list keeps.
  void SetLinesValue(std::string_view name, std::string text);
  // For an entry set by SetLinesValue whose value has not been read whole since: the text its
  // lines come from.
  bool LinesSource(size_t i, std::string_view& text) const;

  // Every entry as text, in order.
  std::vector<std::string> Items() const;

 private:
  enum class Kind : uint32_t { kSpan, kBare, kNumbered, kOwned, kLines };
  // Four offsets; the kind sits in the top bits of name_size_and_kind.
  //   kSpan:     name and value in the buffer
  //   kBare:     the text at [a, a + size) in the buffer, no "="
  //   kNumbered: a is the number, the value in the buffer
  //   kOwned:    a is the position in owned_ of the whole entry's text
  //   kLines:    a is the position in lines_
  struct Entry {
    uint32_t a;
    uint32_t name_size_and_kind;
    uint32_t value_at;
    uint32_t value_size;
  };
  static constexpr int kKindShift = 29;
  static constexpr uint32_t kSizeMask = (1u << kKindShift) - 1;

  static Kind KindOf(const Entry& e) {
    return static_cast<Kind>(e.name_size_and_kind >> kKindShift);
  }
  static uint32_t NameSize(const Entry& e) { return e.name_size_and_kind & kSizeMask; }
  static Entry Make(Kind kind, size_t a, size_t name_size, size_t value_at, size_t value_size);

  std::string_view Bytes(size_t at, size_t size) const {
    return std::string_view(buffer_).substr(at, size);
  }
  // A value of lines: where they come from, and the value once it was read whole.
  struct Lines {
    std::string name;
    std::string kept;  // the text, when the list keeps it
    std::string_view text;
    mutable std::optional<std::string> value;
  };
  const std::string& LinesValue(const Lines& lines) const;
  void PutLines(std::string_view name, Lines lines);

  // The entry's name where the list holds it; false for an entry without "=" and for a
  // numbered part, whose name is made from its number.
  bool StoredName(const Entry& e, std::string_view& name) const;
  // Whether the entry's name is name, whose folded form is key (folded: room to fold in).
  bool SameName(const Entry& e, std::string_view name, const std::string& key,
                std::string& folded) const;
  // Whether the entry has a name ("=" in its text), and the name's folded form.
  bool FoldedName(const Entry& e, std::string& folded) const;
  void Own(size_t i);  // turns entry i into a string of its own

  void InvalidateIndex() const;
  void BuildIndex() const;
  void IndexEntry(uint32_t i) const;

  std::string buffer_;
  std::vector<Entry> entries_;
  // Deques, so that a view of an entry stays good while others are added.
  std::deque<std::string> owned_;
  std::deque<Lines> lines_;
  // Open addressing over folded names: each slot holds the name's hash (high half) and the
  // entry's position + 1 (low half; 0 is an empty slot). Built when a name is first looked
  // up, dropped when positions shift.
  mutable std::vector<uint64_t> slots_;
  mutable size_t slots_used_ = 0;
  mutable bool index_valid_ = false;
};

}  // namespace nv
