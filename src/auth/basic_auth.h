// HTTP Basic authentication against the user table "利用者情報" of the definition database.
// Every request is authenticated anew; nothing is remembered between requests.
#pragma once

#include <stdexcept>
#include <string>

#include "auth/cipher.h"
#include "http/request.h"
#include "http/response.h"

namespace nv {

class DefinitionReads;  // db/definition_db.h

// Where the host phrase comes from: GeneratePhrase, or a fixed phrase in tests.
using PhraseSource = std::string (*)();

// A failure of the authentication itself (the user table could not be read). The request
// has not passed the gate, so its answer must show nothing that earlier requests left behind.
class AuthenticationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What an Authorization header value carries as Basic credentials, decoded once: a page request
// needs the user name for the gate and for both log lines, and the password for the gate.
struct BasicCredentials {
  bool basic = false;    // the value begins with "Basic" (letter case counts)
  std::string user;      // "" also when the decoded text has no ":"
  std::string password;  // all after the first ":", or the whole decoded text without one
};
BasicCredentials DecodeBasicAuth(const std::string& LAuth);

// The role ("所属") of the user that LAuth (the Authorization header, "" when absent) names,
// "" for a NULL role, or "null" when not authenticated. A header that does not begin with
// "Basic" runs no command and opens no database. With an empty host phrase nobody passes.
// Database failures leave as AuthenticationError with the database layer's message.
std::string BasicAuthorization(const std::string& LAuth, PhraseSource phrase = GeneratePhrase);
// The same for credentials decoded before; the user table is read through reads, so that the
// lookups after the gate may share its read transaction.
std::string BasicAuthorization(const BasicCredentials& credentials, DefinitionReads& reads,
                               PhraseSource phrase = GeneratePhrase);

// Turns AResponse into the authentication challenge: 401, "WWW-Authenticate" and "Connection"
// headers, no body.
TResponse& BasicAuthorizationView(TResponse& AResponse);

// The password (UserOrPass exactly "Pass") or the user name of Basic credentials; "" when
// LAuth is no Basic credentials.
std::string GetBasicAuth(const std::string& LAuth, const std::string& UserOrPass);

// The first administrator's ("Web管理者") password, the key of encrypted data databases: ""
// when there is no administrator, "Error" when it cannot be decrypted.
std::string GetPassword(PhraseSource phrase = GeneratePhrase);

}  // namespace nv
