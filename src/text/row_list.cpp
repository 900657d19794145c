#include "text/row_list.h"

#include <stdexcept>

namespace nv {

std::string_view TRowList::Get(size_t i) const {
  if (i >= ends_.size()) throw std::out_of_range("TRowList::Get");
  const size_t begin = i == 0 ? 0 : ends_[i - 1];
  return std::string_view(text_).substr(begin, ends_[i] - begin);
}

void TRowList::Clear() {
  text_.clear();
  ends_.clear();
}

std::string TRowList::GetTextStr() const {
  std::string text;
  text.reserve(text_.size() + 2 * ends_.size());
  for (size_t i = 0; i < ends_.size(); ++i) text.append(Get(i)).append("\r\n");
  return text;
}

std::vector<std::string> TRowList::Items() const {
  std::vector<std::string> items;
  items.reserve(ends_.size());
  for (size_t i = 0; i < ends_.size(); ++i) items.emplace_back(Get(i));
  return items;
}

}  // namespace nv
