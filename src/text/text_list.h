// Text lists: the system's universal record (request fields, memory variables, result slots,
// menu lists, script lists, the request log) and the text replacement every marker uses.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nv {

// Byte-order mark a list was last loaded with; saving writes the same encoding back.
enum class TextEncoding { Utf8, Utf8Bom, Utf16LE, Utf16BE };

// The text of bytes as a list loads them: UTF-8 after a byte-order mark, if any, or UTF-16
// after its mark turned into UTF-8 in decoded. The encoding found goes to *encoding.
std::string_view DecodeListText(std::string_view bytes, std::string& decoded,
                                TextEncoding* encoding = nullptr);

// Ordered list of UTF-8 entries, read by position or by name ("name=value" entries).
// Name lookups ignore case for every script's letters and are served by an index over the
// folded names, so a list of 100,000 posted fields does not make each lookup scan them all.
class TStringList {
 public:
  TStringList() = default;
  TStringList(const TStringList& other);
  TStringList& operator=(const TStringList& other);
  TStringList(TStringList&&) noexcept = default;
  TStringList& operator=(TStringList&&) noexcept = default;

  void Add(std::string text);
  void Insert(size_t i, std::string text);
  const std::string& Get(size_t i) const { return items_.at(i); }
  void Put(size_t i, std::string text);
  void Delete(size_t i);
  size_t GetCount() const { return items_.size(); }
  void Clear();
  void Assign(const TStringList& other);

  // Name=value access. The name is the text before an entry's first "=".
  std::string GetValue(std::string_view name) const;
  void SetValue(std::string_view name, std::string_view value);
  // Position of the first entry with that name, -1 when none.
  long IndexOfName(std::string_view name) const;
  std::string GetName(size_t i) const;
  std::string GetValueFromIndex(size_t i) const;
  void SetValueFromIndex(size_t i, std::string_view value);
  // Position of the first entry equal to text ignoring case, -1 when none.
  long IndexOf(std::string_view text) const;

  // Every entry followed by CR LF; SetTextStr splits at CR LF, CR or LF.
  std::string GetTextStr() const;
  void SetTextStr(std::string_view text);
  // One strict CSV line (delimiter ",", quote '"'): blanks are ordinary characters.
  void SetDelimitedText(std::string_view line);

  // Throw std::runtime_error with "Unable to open file "%s": %s" / "Unable to create file
  // "%s": %s".
  void LoadFromFile(const std::string& path);
  void LoadFromBytes(std::string_view bytes);  // the same decoding, from memory
  void SaveToFile(const std::string& path) const;
  // The bytes SaveToFile writes: the text in the encoding the list was loaded with.
  std::string SavedBytes() const;

  void Sort();

  const std::vector<std::string>& Items() const { return items_; }
  TextEncoding Encoding() const { return encoding_; }

 private:
  void InvalidateIndex() const;
  void IndexEntry(size_t i) const;
  void BuildIndex() const;

  std::vector<std::string> items_;
  TextEncoding encoding_ = TextEncoding::Utf8;
  // Folded name -> position of its first entry; built lazily, dropped when positions shift.
  mutable std::unordered_map<std::string, size_t> index_;
  mutable bool index_valid_ = false;
};

}  // namespace nv
