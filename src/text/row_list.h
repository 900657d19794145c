// A data list of a result set: TAB rows read by position, as a text list holds them, kept back
// to back in one buffer so that a result of many rows costs no allocation per row.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nv {

class TRowList {
 public:
  void Add(std::string_view row) {
    text_.append(row);
    ends_.push_back(text_.size());
  }
  size_t GetCount() const { return ends_.size(); }
  // Throws std::out_of_range for a position beyond the list.
  std::string_view Get(size_t i) const;
  void Clear();

  // Every row followed by CR LF, the last one too: a text list's whole text.
  std::string GetTextStr() const;
  // The rows' bytes back to back, with nothing between them.
  std::string_view Bytes() const { return text_; }
  // Copies of the rows, in order.
  std::vector<std::string> Items() const;

  // Adds the row that fill appends to the text it is given, so that it is written in place.
  template <typename Fill>
  void AddWith(Fill fill) {
    fill(text_);
    ends_.push_back(text_.size());
  }
  // Calls visit with each row in turn.
  template <typename Visit>
  void ForEach(Visit visit) const {
    size_t begin = 0;
    for (const size_t end : ends_) {
      visit(std::string_view(text_.data() + begin, end - begin));
      begin = end;
    }
  }

 private:
  std::string text_;
  std::vector<size_t> ends_;  // where each row ends in text_
};

}  // namespace nv
