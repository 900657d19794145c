#include "app/startup.h"

#include <cstdio>
#include <exception>

#include "app/error_page.h"
#include "app/library_search.h"
#include "app/setup_route.h"
#include "app/upload_route.h"
#include "engine/host_addresses.h"
#include "engine/page_request.h"
#include "engine/request_log.h"
#include "engine/script_executor.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "text/numbers.h"

namespace nv {

uint16_t PortFromPath(std::string_view full_path) {
  static constexpr std::string_view kColon = "\xEF\xBC\x9A";  // U+FF1A FULLWIDTH COLON
  size_t colon = full_path.find(kColon);
  if (colon == std::string_view::npos) return 80;
  // The extension is the last "." of the file name and what follows it.
  size_t name_start = full_path.rfind(kPathDelim);
  name_start = name_start == std::string_view::npos ? 0 : name_start + 1;
  size_t end = full_path.size();
  size_t dot = full_path.rfind('.');
  if (dot != std::string_view::npos && dot >= name_start) end = dot;
  size_t begin = colon + kColon.size();
  std::string_view rest = end > begin ? full_path.substr(begin, end - begin) : std::string_view();
  int32_t value = ReadIntegerDef(rest, 80);
  return static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFF);
}

namespace {

void RegisterModeRoutes() {
  if (FileExists(Folder + "ZURazo.db")) {
    Application.RegisterFileLocation("images", std::string("images") + kPathDelim);
    Application.HTTPRouter.RegisterRoute("/", CGI, true);
    Application.HTTPRouter.RegisterRoute("/upload", Upload, false);
  } else {
    Application.HTTPRouter.RegisterRoute("/", Init, true);
  }
}

void RunSequence() {
  Application.OnShowRequestException = MyShowRequestException;

  std::string exe = ExecutablePath();
  Folder = exe.substr(0, exe.rfind(kPathDelim) + 1);
  Application.BaseFolder = Folder;

  // The cipher build serves plain databases too, so it wins wherever it lies below Folder.
  SQLiteCipher = GetFilePath(Folder, "libsqlcipher.so*", true);
  CipherMode = !SQLiteCipher.empty();
  if (!CipherMode) SQLiteCipher = GetFilePath(Folder, "libsqlite3.so*", true);

  // Replacements that a crash cut short (uploads, the request log's rewrite) leave nothing.
  RemoveReplacementLeftovers(Folder, false);
  RemoveReplacementLeftovers(Folder + "images" + kPathDelim, true);
  LoadRequestLog();
  Memory.Clear();
  IPAddess = GetIpAddrList();

  RegisterModeRoutes();
  Application.Title = "Norvane";
  Application.Port = PortFromPath(exe);
  Application.Initialize();
  Application.Run();
}

}  // namespace

int StartUp() {
  KeepFreedMemory();
  int status = 0;
  try {
    RunSequence();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  // The data databases' kept connections are closed while the engines are surely loaded.
  KeptDataConnections().Clear();
  Memory.Clear();
  log.Clear();
  return status;
}

}  // namespace nv
