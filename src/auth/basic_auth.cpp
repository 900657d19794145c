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

BasicCredentials DecodeBasicAuth(const std::string& LAuth) {
  BasicCredentials credentials;
  if (!IsBasic(LAuth)) return credentials;
  credentials.basic = true;
  // The character after "Basic" separates, whatever it is.
  std::string decoded = DecodeStringBase64(LAuth.size() > 6 ? LAuth.substr(6) : "");
  const size_t colon = decoded.find(':');
  if (colon == std::string::npos) {
    credentials.password = std::move(decoded);
  } else {
    credentials.user = decoded.substr(0, colon);
    credentials.password = decoded.substr(colon + 1);
  }
  return credentials;
}

std::string GetBasicAuth(const std::string& LAuth, const std::string& UserOrPass) {
  BasicCredentials credentials = DecodeBasicAuth(LAuth);
  return UserOrPass == "Pass" ? std::move(credentials.password) : std::move(credentials.user);
}

namespace {

std::string RoleOf(const std::string& user, const std::string& presented, DefinitionReads& reads) {
  std::unique_ptr<TSQLite3Connection> conn = reads.Open();
  std::string role = kNotAuthenticated;
  {
    TSQLQuery query;
    query.SetDatabase(conn.get());
    query.SetSQL("SELECT * FROM 利用者情報 WHERE 名前 == :name");
    query.ParamByName("name").SetAsString(user);
    query.Open();
    // Stored cipher texts are compared as they are: nothing is decrypted. A NULL password
    // reads as "", which no cipher text equals.
    if (!query.Eof() && query.FieldByName("暗号化パスワード").AsString() == presented) {
      role = query.FieldByName("所属").AsString();
    }
  }
  // Only a read that went through is handed on; a failure released the connection above.
  reads.Done(std::move(conn));
  return role;
}

}  // namespace

std::string BasicAuthorization(const std::string& LAuth, PhraseSource phrase_source) {
  DefinitionReads reads;  // not shared: the read ends with the call
  return BasicAuthorization(DecodeBasicAuth(LAuth), reads, phrase_source);
}

std::string BasicAuthorization(const BasicCredentials& credentials, DefinitionReads& reads,
                               PhraseSource phrase_source) {
  if (!credentials.basic) return kNotAuthenticated;
  const std::string phrase = phrase_source();
  // Without a phrase every password encrypts to the same text, so the comparison below would
  // admit any password.
  if (phrase.empty()) return kNotAuthenticated;
  const std::string presented = EncodeStringBase64(EncryptString(credentials.password, phrase));
  try {
    return RoleOf(credentials.user, presented, reads);
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
