#include "app/upload_route.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "app/error_page.h"
#include "auth/basic_auth.h"
#include "globals/globals.h"
#include "http/file_stream.h"
#include "platform/files.h"
#include "text/html_escape.h"

namespace nv {

namespace {

// The client's file name without any folder part: an upload may only land in "images".
std::string StoredName(const std::string& client_name) {
  size_t cut = client_name.find_last_of("/\\");
  std::string name = cut == std::string::npos ? client_name : client_name.substr(cut + 1);
  if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos)
    throw std::runtime_error("Invalid upload file name \"" + client_name + "\"");
  return name;
}

void AddUploadForm(TRequest& ARequest, TResponse& AResponse) {
  TStringList& c = AResponse.Contents;
  AddPageOpening(c, "Example");
  c.Add("<form id=\"form\" action=\"" + HtmlEscape(ARequest.URL) +
        "\" method=\"POST\" enctype=\"multipart/form-data\">");
  c.Add("<label for=\"name\">Drag n drop or click to add file:</label>");
  c.Add("<input type=\"file\" name=\"input\" />");
  c.Add("<input type=\"submit\" value=\"Send\" />");
  c.Add("</form>");
  c.Add("  </body>");
  c.Add("</html>");
}

}  // namespace

void Upload(TRequest& ARequest, TResponse& AResponse) {
  if (BasicAuthorization(ARequest.Authorization) == "null") {
    BasicAuthorizationView(AResponse);
    return;
  }
  if (ARequest.Files().empty()) {
    AddUploadForm(ARequest, AResponse);
    return;
  }
  const TUploadedFile& file = ARequest.Files()[0];
  std::string name = StoredName(file.FileName);
  std::string path = Folder + "images" + kPathDelim + name;
  // A write that fails (a full disk) keeps the former file whole.
  ReplaceFileOrThrow(path, file.Content);
  TFileStream in(path);  // the server sends it straight from the file
  if (!in.is_open()) {
    int err = errno;
    throw std::runtime_error("Unable to open file \"" + path + "\": " + std::strerror(err));
  }
  AResponse.SetContentStream(&in);
  AResponse.ContentType = "application/octet-stream";
  AResponse.CustomHeaders.SetValue("Content-Disposition", "attachment; filename=" + name);
  AResponse.SendContent();  // the stream is released when this function returns
}

}  // namespace nv
