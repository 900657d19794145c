// The response object: what a handler fills in, and its one send in the exact wire form.
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>

#include "text/text_list.h"

namespace nv {

class TSharedFile;

class TResponse {
 public:
  // Takes the bytes over (a page is handed on, not copied).
  using TOutput = std::function<void(std::string bytes)>;
  // Takes a share of an open file whose first length bytes are the body.
  using TFileOutput = std::function<void(std::shared_ptr<TSharedFile> file, long long length)>;

  int Code = 200;
  std::string CodeText = "OK";
  // Every text of the system is UTF-8; without the charset some clients guess another one.
  std::string ContentType = "text/html; charset=UTF-8";
  // Body lines, each sent followed by CR LF. A text set by SetContent comes before them.
  TStringList Contents;
  // Non-owning: the stream must outlive SendContent. Sent from its start.
  std::istream* ContentStream = nullptr;
  // Body size when ContentStream is set; a body from Contents always sends its own length.
  long long ContentLength = 0;
  TStringList CustomHeaders;  // "name=value"; entries with an empty value are not sent

  // Replaces the body by the lines of text, as Contents.SetTextStr would: the text is kept
  // whole and goes out by the same rule (every line break, CR LF, a lone CR or a lone LF,
  // becomes CR LF, and a last line without one gets it), so a large page is not split into
  // lines and joined again. Lines added to Contents afterwards follow it.
  void SetContent(std::string text);
  // Removes the whole body: the text and the lines.
  void ClearContent();
  // The body as lines, as Contents would hold them had SetContent split its text.
  TStringList ContentLines() const;
  // Sets ContentStream and ContentLength to the stream's size.
  void SetContentStream(std::istream* s);

  // Sends status line, headers and body at once. The response counts as sent from the first
  // byte on, so a failed write is never followed by a second answer.
  // Throws "HTTP Response content was already sent" on a second call.
  void SendContent();
  bool ContentSent() const { return sent_; }

  // The answer to HEAD: the head exactly as for GET, Content-Length included, and no body.
  void SetHeadOnly(bool head_only) { head_only_ = head_only; }

  // Where SendContent writes (the server attaches its socket). Without one the bytes are kept
  // and can be read back with Sent(): handy for tests of handlers.
  void SetOutput(TOutput out) { output_ = std::move(out); }
  // Where SendContent hands the file of a TFileStream body, so that it never passes through
  // this process. Without one the file is read and written like any stream.
  void SetFileOutput(TFileOutput out) { file_output_ = std::move(out); }
  const std::string& Sent() const { return sent_bytes_; }

  // Status line and headers exactly as SendContent writes them, for the current state.
  std::string HeadText(long long content_length) const;

 private:
  void Write(std::string bytes);

  std::string content_text_;  // set by SetContent
  bool sent_ = false;
  bool head_only_ = false;
  TOutput output_;
  TFileOutput file_output_;
  std::string sent_bytes_;
};

// Standard reason phrase of a status code ("" for a code without one).
std::string_view ReasonPhrase(int code);

}  // namespace nv
