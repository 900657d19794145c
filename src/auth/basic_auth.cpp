#include "auth/basic_auth.h"

#include <memory>

#include "db/definition_db.h"
#include "db/sqlite_db.h"
#include "globals/globals.h"

namespace nv {

namespace {

constexpr const char* kNotAuthenticated = "null";

bool IsBasic(const std::string& LAuth) { return LAuth.compare(0, 5, "Basic") == 0; }

}  // namespace

std::string GetBasicAuth(const std::string& LAuth, const std::string& UserOrPass) {
  if (!IsBasic(LAuth)) return "";
  // The character after "Basic" separates, whatever it is.
  const std::string decoded = DecodeStringBase64(LAuth.size() > 6 ? LAuth.substr(6) : "");
  const size_t colon = decoded.find(':');
  const std::string user = colon == std::string::npos ? "" : decoded.substr(0, colon);
  const std::string pass = colon == std::string::npos ? decoded : decoded.substr(colon + 1);
  return UserOrPass == "Pass" ? pass : user;
}

namespace {

std::string RoleOf(const std::string& user, const std::string& presented) {
  auto conn = OpenDefinitionDatabase();
  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL("SELECT * FROM 利用者情報 WHERE 名前 == :name");
  query.ParamByName("name").SetAsString(user);
  query.Open();
  std::string role = kNotAuthenticated;
  // Stored cipher texts are compared as they are: nothing is decrypted. A NULL password reads
  // as "", which no cipher text equals.
  if (!query.Eof() && query.FieldByName("暗号化パスワード").AsString() == presented) {
    role = query.FieldByName("所属").AsString();
  }
  query.Close();
  return role;
}

}  // namespace

std::string BasicAuthorization(const std::string& LAuth, PhraseSource phrase_source) {
  if (!IsBasic(LAuth)) return kNotAuthenticated;
  const std::string user = GetBasicAuth(LAuth, "User");
  const std::string phrase = phrase_source();
  // Without a phrase every password encrypts to the same text, so the comparison below would
  // admit any password.
  if (phrase.empty()) return kNotAuthenticated;
  const std::string presented =
      EncodeStringBase64(EncryptString(GetBasicAuth(LAuth, "Pass"), phrase));
  try {
    return RoleOf(user, presented);
  } catch (const std::exception& e) {
    throw AuthenticationError(e.what());
  }
}

TResponse& BasicAuthorizationView(TResponse& AResponse) {
  AResponse.Code = 401;
  AResponse.CustomHeaders.SetValue("WWW-Authenticate", "Basic realm=\"SECRET AREA\"");
  AResponse.CustomHeaders.SetValue("Connection", "close");
  // The challenge has no body, whatever the handler had put there before.
  AResponse.ClearContent();
  AResponse.ContentStream = nullptr;
  AResponse.ContentLength = 0;
  return AResponse;
}

std::string GetPassword(PhraseSource phrase_source) {
  auto conn = OpenDefinitionDatabase();
  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL("SELECT * FROM 利用者情報 WHERE 所属 == \"Web管理者\" LIMIT 1");
  query.Open();
  std::string password;
  if (!query.Eof()) {
    password = DecryptString(DecodeStringBase64(query.FieldByName("暗号化パスワード").AsString()),
                             phrase_source());
  }
  query.Close();
  return password;
}

}  // namespace nv
