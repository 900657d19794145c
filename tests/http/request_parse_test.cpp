// Request head, query string, posted fields and multipart bodies.
#include <gtest/gtest.h>

#include "http/multipart.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "http/static_files.h"

using namespace nv;
using namespace std::string_view_literals;

namespace {

std::vector<std::string> Entries(const TStringList& list) { return list.Items(); }
std::vector<std::string> Entries(const TPostedFields& list) { return list.Items(); }

bool ParseMultipart(std::string_view type, std::string_view body, TPostedFields& fields,
                    std::vector<TUploadedFile>& files) {
  return ParseMultipartBody(type, std::string(body), fields, files) == TBodyParse::kOk;
}

// Whether a view lies inside the buffer of text.
bool Inside(std::string_view part, std::string_view text) {
  return part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size();
}

TRequest Parsed(std::string_view raw, int expected_status = 0) {
  TRequest req;
  EXPECT_EQ(ParseRequest(raw, req), expected_status) << raw;
  return req;
}

std::string Multipart(std::initializer_list<std::string> parts, const std::string& b = "XyZ") {
  std::string body;
  for (const std::string& p : parts) body += "--" + b + "\r\n" + p + "\r\n";
  return body + "--" + b + "--\r\n";
}

const char* kFormType = "multipart/form-data; boundary=XyZ";

}  // namespace

TEST(RequestHead, FillsTheRequestFromTheHead) {
  TRequest req = Parsed(
      "get /a%20b/c?SQL=x+y&HTML=%E4%B8%80 HTTP/1.0\r\n"
      "Host: example\r\n"
      "Authorization:   Basic dTpw  \r\n"
      "X-Empty:\r\n"
      "authorization: second\r\n"
      "\r\n");
  EXPECT_EQ(req.Method, "get");
  EXPECT_EQ(req.URL, "/a%20b/c?SQL=x+y&HTML=%E4%B8%80");
  EXPECT_EQ(req.PathInfo, "/a%20b/c");
  EXPECT_EQ(req.Query, "SQL=x+y&HTML=%E4%B8%80");
  EXPECT_EQ(req.Protocol, "HTTP/1.0");
  EXPECT_EQ(req.Authorization, "Basic dTpw");  // the first one, trimmed
  EXPECT_EQ(Entries(req.Headers),
            (std::vector<std::string>{"Host=example", "Authorization=Basic dTpw",
                                      "X-Empty=", "authorization=second"}));
  EXPECT_EQ(Entries(req.QueryFields), (std::vector<std::string>{"SQL=x y", "HTML=一"}));
  EXPECT_TRUE(req.ContentFields().GetCount() == 0 && req.Files().empty());
}

TEST(RequestHead, AcceptsBareLineFeedsAndAbsoluteTargets) {
  TRequest req = Parsed("GET http://host:81/p/q?x=1 HTTP/1.1\nA: b\n\n");
  EXPECT_EQ(req.PathInfo, "/p/q");
  EXPECT_EQ(req.Query, "x=1");
  EXPECT_EQ(req.URL, "http://host:81/p/q?x=1");
  EXPECT_EQ(Parsed("GET http://host HTTP/1.1\r\n\r\n").PathInfo, "/");
  EXPECT_EQ(Parsed("GET /? HTTP/1.1\r\n\r\n").QueryFields.GetCount(), 0u);
}

TEST(RequestHead, RefusesMalformedHeads) {
  struct Case {
    std::string_view raw;
    int status;
  };
  const Case cases[] = {
      {"GET /\r\n\r\n"sv, 400},                   // no version
      {"GET  / HTTP/1.1\r\n\r\n"sv, 400},         // double blank
      {"GET / HTTP/1.1 x\r\n\r\n"sv, 400},        // fourth word
      {"GET / HTTX/1.1\r\n\r\n"sv, 400},          // not HTTP
      {"GET / HTTP/11\r\n\r\n"sv, 400},           // version shape
      {"G(T / HTTP/1.1\r\n\r\n"sv, 400},          // method not a token
      {"GET x HTTP/1.1\r\n\r\n"sv, 400},          // target without "/"
      {"GET /a\x01 HTTP/1.1\r\n\r\n"sv, 400},     // control byte in target
      {"\r\n\r\nGET / HTTP/1.1\r\n\r\n"sv, 400},  // only one empty line comes before it
      {"GET / HTTP/2.0\r\n\r\n"sv, 505},          // another major version
      {"PRI * HTTP/2.0\r\n\r\n"sv, 505},
      {"GET / HTTP/0.9\r\n\r\n"sv, 505},
      {"GET / HTTP/3.1\r\nNo colon\r\n\r\n"sv, 505},  // its headers are not read
      {"POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n"
       "Content-Length: 3\r\n\r\nabc"sv,
       400},                                                     // a body that does not parse
      {"GET / HTTP/1.1\r\nNo colon\r\n\r\n"sv, 400},             // header without ":"
      {"GET / HTTP/1.1\r\nA b: c\r\n\r\n"sv, 400},               // blank in a name
      {"GET / HTTP/1.1\r\nA : c\r\n\r\n"sv, 400},                // blank before ":"
      {"GET / HTTP/1.1\r\n: c\r\n\r\n"sv, 400},                  // empty name
      {"GET / HTTP/1.1\r\nA: b\r\n folded\r\n\r\n"sv, 400},      // obsolete folding
      {"GET / HTTP/1.1\r\nA: b\rC: d\r\n\r\n"sv, 400},           // bare CR inside a line
      {"GET / HTTP/1.1\r\nA: b\0c\r\n\r\n"sv, 400},              // NUL in a value
      {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n"sv, 400},  // not a number
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"sv, 400},
      {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n"sv, 400},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab"sv, 400},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc"sv, 400},  // body shorter than announced
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"sv, 501},
      // Header names in any letter case: the length frames the body here too.
      {"POST / HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n0\r\n\r\n"sv, 501},
      {"POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\nabc"sv, 400},
      {"GET / HTTP/1.1\r\n"sv, 400},  // head never ends
  };
  for (const Case& c : cases) {
    TRequest req;
    EXPECT_EQ(ParseRequest(c.raw, req), c.status) << c.raw;
  }
}

TEST(RequestHead, OneEmptyLineBeforeTheRequestLineIsSkipped) {
  for (std::string_view lead : {"\r\n"sv, "\n"sv}) {
    std::string raw = std::string(lead) + "POST /a?b=1 HTTP/1.9\r\nContent-Length: 2\r\n\r\nxy";
    TRequest req = Parsed(raw);
    EXPECT_EQ(req.Method, "POST");
    EXPECT_EQ(req.URL, "/a?b=1");
    EXPECT_EQ(req.Protocol, "HTTP/1.9");  // a higher minor version is still HTTP/1
    EXPECT_EQ(req.Content, "xy");
    EXPECT_EQ(FindHeadEnd(raw), raw.find("xy"));
  }
}

TEST(RequestHead, ContentLengthBeyondAnyLimitIsReportedAsSuch) {
  TRequest req;
  THeadInfo info =
      ParseRequestHead("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n", req);
  EXPECT_EQ(info.Status, 0);
  EXPECT_LT(info.ContentLength, 0);  // the server answers 413
  info = ParseRequestHead("POST / HTTP/1.1\r\nContent-Length: 000012\r\n", req);
  EXPECT_EQ(info.ContentLength, 12);
  info = ParseRequestHead("POST / HTTP/1.1\r\nExpect: 100-Continue\r\n", req);
  EXPECT_TRUE(info.ExpectContinue);
}

TEST(RequestHead, FindHeadEndResumesWhereItStopped) {
  const std::string raw = "GET / HTTP/1.1\r\nA: b\r\n\r\nBODY";
  size_t resume = 0;
  size_t end = std::string::npos;
  for (size_t n = 1; n <= raw.size() && end == std::string::npos; ++n) {
    end = FindHeadEnd(std::string_view(raw).substr(0, n), &resume);
  }
  EXPECT_EQ(end, raw.find("BODY"));
  EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\n\nx"), 16u);
  EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\r\nA: b\r\n"), std::string::npos);
}

TEST(QueryString, SplitsAtAmpersandsAndDecodesEachPieceWhole) {
  struct Case {
    const char* query;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"", {}},
      {"&&&", {}},
      {"a=1&&b=x+y", {"a=1", "b=x y"}},
      {"k%3Dv=w", {"k=v=w"}},      // decoded before the name is split off
      {"a=%26%2b%2B", {"a=&++"}},  // an encoded "&" does not split
      {"p=%zz%4%", {"p=%zz%4%"}},  // broken escapes stay as they are
      {"n=%00x", {std::string("n=\0x", 4)}},
      {"=v&flag", {"=v", "flag"}},
      {"%E3%81%82=%E3%81%84", {"あ=い"}},
  };
  for (const Case& c : cases) {
    TStringList out;
    ParseQueryString(c.query, out);
    EXPECT_EQ(Entries(out), c.fields) << c.query;
  }
  EXPECT_EQ(URLDecode("a+b%20", false), "a+b ");
}

TEST(PostedFields, UrlEncodedBodyOfAnyLetterCase) {
  TRequest req = Parsed(
      "POST /?q=1 HTTP/1.1\r\nContent-Type: Application/X-WWW-Form-Urlencoded; charset=UTF-8\r\n"
      "Content-Length: 20\r\n\r\n%E7%AE%A1=a+b&x=%3D1IGNORED");
  EXPECT_EQ(req.Content, "");  // the fields took the body over
  EXPECT_EQ(Entries(req.ContentFields()), (std::vector<std::string>{"管=a b", "x==1"}));
  EXPECT_EQ(req.ContentFields().GetValue("x"), "=1");
  EXPECT_EQ(Entries(req.QueryFields), (std::vector<std::string>{"q=1"}));
}

TEST(PostedFields, OtherContentTypesPostNoFields) {
  for (const char* type : {"text/plain", "application/json", ""}) {
    TRequest req = Parsed(std::string("POST / HTTP/1.1\r\nContent-Type: ") + type +
                          "\r\nContent-Length: 3\r\n\r\na=b");
    EXPECT_EQ(req.ContentFields().GetCount(), 0u) << type;
    EXPECT_EQ(req.Content, "a=b");
  }
}

TEST(Multipart, FieldsAndFilesComeInReversePartOrder) {
  std::string body =
      Multipart({"Content-Disposition: form-data; name=\"SQL\"\r\n\r\nlist",
                 "Content-Disposition: form-data; name=\"first\"; filename=\"a.txt\"\r\n"
                 "Content-Type: text/plain\r\n\r\nAAA",
                 "content-disposition: form-data; filename=\"b.csv\"; name=\"second\"\r\n\r\n"
                 "B\r\nB\r\n"});
  TRequest req = Parsed("POST /upload HTTP/1.1\r\nContent-Type: " + std::string(kFormType) +
                        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(Entries(req.ContentFields()),
            (std::vector<std::string>{"second=b.csv", "first=a.txt", "SQL=list"}));
  ASSERT_EQ(req.Files().size(), 2u);
  EXPECT_EQ(req.Files()[0].FieldName, "second");
  EXPECT_EQ(req.Files()[0].FileName, "b.csv");
  EXPECT_EQ(req.Files()[0].Content, "B\r\nB\r\n");  // line breaks inside the content stay
  EXPECT_EQ(req.Files()[0].ContentType, "");
  EXPECT_EQ(req.Files()[1].FileName, "a.txt");
  EXPECT_EQ(req.Files()[1].Content, "AAA");
  EXPECT_EQ(req.Files()[1].ContentType, "text/plain");
}

TEST(Multipart, EmptyAndLineBreakFilePartsKeepTheirFieldButAreNoFiles) {
  std::string body = Multipart({
      "Content-Disposition: form-data; name=\"none\"; filename=\"\"\r\n\r\n",
      "Content-Disposition: form-data; name=\"crlf\"; filename=\"c.txt\"\r\n\r\n\r\n",
      "Content-Disposition: form-data; name=\"three\"; filename=\"d.txt\"\r\n\r\n\r\nx",
      "Content-Disposition: form-data; name=\"text\"\r\n\r\n",
  });
  TPostedFields fields;
  std::vector<TUploadedFile> files;
  EXPECT_TRUE(ParseMultipart(kFormType, body, fields, files));
  EXPECT_EQ(Entries(fields),
            (std::vector<std::string>{"text=", "three=d.txt", "crlf=c.txt", "none="}));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].Content, "\r\nx");
}

TEST(Multipart, NamelessPartsAndOddShapes) {
  TPostedFields fields;
  std::vector<TUploadedFile> files;
  EXPECT_TRUE(ParseMultipart(
      "multipart/form-data; boundary=\"q b\"",
      Multipart({"Content-Disposition: form-data; name=\"a\"\r\n\r\n1",
                 "Content-Disposition: form-data; filename=\"C:\\dir\\x.png\"\r\n\r\nPNG",
                 "\r\nno headers", "Content-Disposition: form-data; name=\"\"\r\n\r\n4"},
                "q b"),
      fields, files));
  EXPECT_EQ(Entries(fields),
            (std::vector<std::string>{"DummyFileItem3=4", "DummyFileItem2=no headers",
                                      "DummyFileItem1=C:\\dir\\x.png", "a=1"}));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].FieldName, "DummyFileItem1");
  EXPECT_EQ(files[0].FileName, "C:\\dir\\x.png");  // backslashes are no escapes

  // A body that does not parse gives false and nothing at all, never a shorter form.
  struct Case {
    const char* what;
    std::string type;
    std::string body;
    bool parses;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"preamble before the first delimiter",
       kFormType,
       "ignored\r\n" + Multipart({"Content-Disposition: form-data; name=\"a\"\r\n\r\n1"}),
       true,
       {"a=1"}},
      {"no part at all", kFormType, "--XyZ--\r\n", true, {}},
      {"unterminated last part",
       kFormType,
       "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XyZ\r\n"
       "Content-Disposition: form-data; name=\"b\"\r\n\r\n2",
       false,
       {}},
      {"no closing delimiter",
       kFormType,
       "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XyZ",
       false,
       {}},
      {"part without an empty line",
       kFormType,
       Multipart({"Content-Disposition: form-data; name=\"a\"",
                  "Content-Disposition: form-data; "
                  "name=\"b\"\r\n\r\n2"}),
       false,
       {}},
      {"no boundary", "multipart/form-data", Multipart({"\r\nx"}), false, {}},
      {"other boundary", "multipart/form-data; boundary=Other", Multipart({"\r\nx"}), false, {}},
      {"empty body", kFormType, "", false, {}},
      {"text glued to a delimiter",
       kFormType,
       "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XyZjunk\r\n"
       "Content-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n--XyZ--",
       false,
       {}},
      {"parameter names in any letter case",
       "multipart/form-data; BOUNDARY=XyZ",
       Multipart({"Content-Disposition: form-data; NAME=\"a\"; FILENAME=\"f.txt\"\r\n\r\nF"}),
       true,
       {"a=f.txt"}},
      {"unquoted name, blanks and padding",
       "multipart/form-data;boundary=XyZ",
       "--XyZ \t\r\nContent-Disposition: form-data ;  name = v1 ; x\r\n\r\n1\r\n--XyZ--",
       true,
       {"v1=1"}},
  };
  for (const Case& c : cases) {
    TPostedFields f;
    std::vector<TUploadedFile> fl;
    EXPECT_EQ(ParseMultipart(c.type, c.body, f, fl), c.parses) << c.what;
    EXPECT_EQ(Entries(f), c.fields) << c.what;
    EXPECT_TRUE(c.parses || fl.empty()) << c.what;
  }
}

TEST(Multipart, BodiesShorterThanADelimiterGiveNoFields) {
  // A default view holds a null pointer, which the delimiter search must not pass on.
  for (std::string_view body : {std::string_view(), ""sv, "--X"sv}) {
    TPostedFields fields;
    std::vector<TUploadedFile> files;
    EXPECT_FALSE(ParseMultipart(kFormType, body, fields, files)) << body;
    EXPECT_EQ(fields.GetCount(), 0u) << body;
  }
}

TEST(PostedFields, ABodylessRequestOfAnotherMethodIsNotParsed) {
  const std::string head = " / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n\r\n";
  Parsed("GET" + head);
  Parsed("HEAD" + head);
  Parsed("POST" + head, 400);
  Parsed("PUT" + head, 400);
}

// A large body must not be held twice: fields and files point into the body's own buffer, and
// a form body gives exactly what the query string's split gives.
TEST(PostedFields, FieldsPointIntoTheBody) {
  for (const char* form :
       {"a=1&big=%41%42+cdefghijklmnopqrstuvwxyz&c=%zz", "only+one%21", "&&x=1&&", "=&=&=", ""}) {
    TStringList copied;
    ParseQueryString(form, copied);
    TPostedFields taken;
    EXPECT_EQ(ParseFormBody(form, taken), TBodyParse::kOk);
    EXPECT_EQ(Entries(taken), Entries(copied)) << form;
  }
  std::string body = "a=1&big=" + std::string(100000, 'x') + "%21&c=3";
  const std::string_view buffer(body.data(), body.size());
  TPostedFields fields;
  ParseFormBody(std::move(body), fields);
  ASSERT_EQ(fields.GetCount(), 3u);
  EXPECT_EQ(fields.Get(1), "big=" + std::string(100000, 'x') + "!");
  EXPECT_TRUE(Inside(fields.ValueView(1), buffer));

  const std::string big(100000, 'z');
  std::string parts =
      Multipart({"Content-Disposition: form-data; name=\"a\"\r\n\r\n1",
                 "Content-Disposition: form-data; name=\"TAB列\"\r\n\r\n" + big, "\r\nnameless",
                 "Content-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\n" + big});
  const std::string_view part_buffer(parts.data(), parts.size());
  std::vector<TUploadedFile> files;
  ASSERT_EQ(ParseMultipartBody(kFormType, std::move(parts), fields, files), TBodyParse::kOk);
  EXPECT_EQ(fields.Get(2), "TAB列=" + big);
  ASSERT_EQ(files.size(), 1u);
  for (size_t i = 0; i < fields.GetCount(); ++i) {
    EXPECT_TRUE(Inside(fields.ValueView(i), part_buffer)) << i;
  }
  EXPECT_TRUE(Inside(files[0].Content, part_buffer));
}

// The limits on fields and files: refused with nothing kept, and exactly the limit is taken.
TEST(PostedFields, TooManyFieldsOrFilesAreRefused) {
  std::string form;
  for (size_t i = 0; i < kMaxPostedFields; ++i) form += "a&";
  TPostedFields fields;
  EXPECT_EQ(ParseFormBody(form, fields), TBodyParse::kOk);
  EXPECT_EQ(fields.GetCount(), kMaxPostedFields);
  EXPECT_EQ(ParseFormBody(form + "b", fields), TBodyParse::kTooManyFields);
  EXPECT_EQ(fields.GetCount(), 0u);

  std::string body;
  for (size_t i = 0; i <= kMaxUploadedFiles; ++i) {
    body += "--XyZ\r\nContent-Disposition: form-data; name=f; filename=x\r\n\r\n1\r\n";
  }
  std::vector<TUploadedFile> files;
  EXPECT_EQ(ParseMultipartBody(kFormType, body + "--XyZ--", fields, files),
            TBodyParse::kTooManyFiles);
  EXPECT_EQ(fields.GetCount() + files.size(), 0u);
  body = "--XyZ";  // parts of no header and no content, the smallest there are
  for (size_t i = 0; i <= kMaxPostedFields; ++i) body += "\r\n\r\n\r\n--XyZ";
  EXPECT_EQ(ParseMultipartBody(kFormType, body + "--", fields, files), TBodyParse::kTooManyFields);
  EXPECT_EQ(fields.GetCount() + files.size(), 0u);

  // Through the request: the refusal carries the status and says why.
  TRequest req = Parsed(
      "POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " +
          std::to_string(form.size() + 1) + "\r\n\r\n" + form + "b",
      413);
  try {
    TRequest again;
    again.Method = "POST";
    again.Headers.Add("Content-Type=application/x-www-form-urlencoded");
    again.Content = form + "b";
    again.ContentFields();
    ADD_FAILURE() << "no refusal";
  } catch (const TRequestRefused& refused) {
    EXPECT_EQ(refused.Status(), 413);
    EXPECT_STREQ(refused.what(), "Too many posted fields: a request may post at most 1000000");
  }
}

TEST(StaticPath, DecodesAndRefusesEveryWayOut) {
  struct Case {
    const char* encoded;
    bool ok;
    const char* relative;
  };
  const Case cases[] = {
      {"a.png", true, "a.png"},
      {"sub/a%20b.png", true, "sub/a b.png"},
      {"sub%5Ca.png", true, "sub/a.png"},
      {"sub\\a.png", true, "sub/a.png"},
      {"./sub//a+b.png", true, "sub/a+b.png"},
      {"", true, ""},
      {"..", false, ""},
      {"../x", false, ""},
      {"sub/../a.png", false, ""},  // even one that would stay inside
      {"%2e%2E/x", false, ""},
      {"sub%5C..%5Cx", false, ""},
      {"..\\x", false, ""},
      {"a%00.png", false, ""},
      {"...", true, "..."},
      {"..a/b..", true, "..a/b.."},
  };
  for (const Case& c : cases) {
    std::string rel = "junk";
    EXPECT_EQ(StaticRelativePath(c.encoded, rel), c.ok) << c.encoded;
    EXPECT_EQ(rel, c.relative) << c.encoded;
  }
}
