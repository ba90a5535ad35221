// The mail text built from a spool row: envelope, headers and body, and the
// pieces it is made of (address lists, encoded words, quoted-printable body).
#include "notify/mail_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::time_t kDate = 1796745956;  // Tue, 08 Dec 2026 16:05:56 UTC

ComposedMail Compose(const SpooledMail& mail) {
  ComposedMail out;
  EXPECT_EQ(ComposeMail(mail, kDate, "id.1@example.org", &out), "");
  return out;
}

// The header block (up to the blank line) and the body of a composed text.
std::pair<std::string, std::string> Split(const std::string& text) {
  const size_t blank = text.find("\r\n\r\n");
  if (blank == std::string::npos) return {text, ""};
  return {text.substr(0, blank + 2), text.substr(blank + 4)};
}

// Every line of the text ends with CRLF, and no CR or LF stands alone.
bool OnlyCrlfLineEnds(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  }
  return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

int HeaderLinesStartingWith(const std::string& headers, const std::string& name) {
  int count = 0;
  size_t at = 0;
  while (at < headers.size()) {
    if (headers.compare(at, name.size(), name) == 0) ++count;
    at = headers.find("\r\n", at);
    if (at == std::string::npos) break;
    at += 2;
  }
  return count;
}

TEST(MailMessage, HeadersRecipientsAndPlainBody) {
  SpooledMail mail{"a@example.org, Bob <b@example.org>",
                   "",
                   "hidden@example.org",
                   "VARO <varo@example.org>",
                   "Disk full",
                   "line one\nline two\n"};
  const ComposedMail out = Compose(mail);
  EXPECT_EQ(out.envelopeFrom, "varo@example.org");
  EXPECT_EQ(out.recipients,
            (std::vector<std::string>{"a@example.org", "b@example.org", "hidden@example.org"}));
  const auto [headers, body] = Split(out.text);
  EXPECT_EQ(headers,
            "Date: Tue, 08 Dec 2026 16:05:56 +0000\r\n"
            "From: VARO <varo@example.org>\r\n"
            "To: a@example.org, Bob <b@example.org>\r\n"
            "Cc: \r\n"
            "Subject: Disk full\r\n"
            "Message-ID: <id.1@example.org>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n"
            "Content-Transfer-Encoding: 7bit\r\n");
  EXPECT_EQ(body, "line one\r\nline two\r\n");
  EXPECT_EQ(out.text.find("hidden"), std::string::npos) << "Bcc never in the text";
  EXPECT_TRUE(OnlyCrlfLineEnds(out.text));
}

TEST(MailMessage, LineBreaksCannotAddHeaders) {
  // Each attempt ends up inside the one header it was part of.
  SpooledMail mail{"Name\r\nBcc: evil@example.org <a@example.org>",
                   "Cc\nX-Cc: 1 <c@example.org>",
                   "",
                   "Ops\r\nBcc: evil@example.org <ops@example.org>",
                   "Alert\r\nBcc: evil@example.org\r\n\r\nfake body",
                   "real body"};
  const ComposedMail out = Compose(mail);
  const auto [headers, body] = Split(out.text);
  EXPECT_EQ(HeaderLinesStartingWith(headers, "Bcc"), 0) << headers;
  EXPECT_EQ(HeaderLinesStartingWith(headers, "X-Cc"), 0) << headers;
  EXPECT_NE(headers.find("Subject: Alert Bcc: evil@example.org fake body\r\n"), std::string::npos)
      << headers;
  EXPECT_NE(headers.find("From: \"Ops Bcc: evil@example.org\" <ops@example.org>\r\n"),
            std::string::npos)
      << headers;
  EXPECT_EQ(body, "real body\r\n");
  EXPECT_TRUE(OnlyCrlfLineEnds(out.text));
  EXPECT_EQ(out.recipients, (std::vector<std::string>{"a@example.org", "c@example.org"}));
  // A broken address is one address that is not sent, not a header and a
  // recipient.
  ComposedMail refused;
  EXPECT_EQ(ComposeMail(SpooledMail{"a@example.org\r\nBcc: evil@example.org", "", "",
                                    "f@example.org", "s", "b"},
                        kDate, "i", &refused),
            "the recipient \"a@example.org Bcc: evil@example.org\" is not a plain address");
}

TEST(MailMessage, NonAsciiSubjectNamesAndBody) {
  SpooledMail mail{"Jörg Müller <j@example.org>",
                   "",
                   "",
                   "varo@example.org",
                   "Zürich: Festplatte voll",
                   "Grüße\n= sign\n"};
  const ComposedMail out = Compose(mail);
  const auto [headers, body] = Split(out.text);
  EXPECT_NE(headers.find("Subject: =?UTF-8?B?WsO8cmljaDogRmVzdHBsYXR0ZSB2b2xs?=\r\n"),
            std::string::npos)
      << headers;
  EXPECT_NE(headers.find("To: =?UTF-8?B?SsO2cmcgTcO8bGxlcg==?= <j@example.org>\r\n"),
            std::string::npos)
      << headers;
  EXPECT_NE(headers.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
  EXPECT_EQ(body, "Gr=C3=BC=C3=9Fe\r\n=3D sign\r\n");
  for (unsigned char c : out.text) EXPECT_LT(c, 0x80) << "the whole text is ASCII";
}

TEST(MailMessage, EmptyPiecesAndBlanksInAddressLists) {
  SpooledMail mail{"a@example.org,, b@example.org ,", " ", "<c@example.org>", "", "s", ""};
  const ComposedMail out = Compose(mail);
  EXPECT_EQ(out.recipients,
            (std::vector<std::string>{"a@example.org", "b@example.org", "c@example.org"}));
  EXPECT_EQ(out.envelopeFrom, "");
  EXPECT_NE(out.text.find("To: a@example.org, b@example.org\r\n"), std::string::npos);

  ComposedMail none;
  EXPECT_EQ(ComposeMail(SpooledMail{" , ", "", "", "x@example.org", "s", "b"}, kDate, "i", &none),
            "the mail has no recipient");
  const std::string huge = std::string(950, 'n') + "@example.org";
  EXPECT_EQ(ComposeMail(SpooledMail{huge, "", "", "x@example.org", "s", "b"}, kDate, "i", &none),
            "an address is longer than a header line allows");
  EXPECT_EQ(ComposeMail(SpooledMail{"a@example.org", "", huge, "x@example.org", "s", "b"}, kDate,
                        "i", &none),
            "")
      << "a Bcc address is never written into a header";
}

TEST(MailMessage, EnvelopeAddressesCannotAddSmtpParameters) {
  // What stands between the angle brackets goes into MAIL FROM and RCPT TO
  // as it is: text that closes the address early is refused, the row stays.
  struct Case {
    SpooledMail mail;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"a@example.org> NOTIFY=NEVER ORCPT=rfc822;b@example.org", "", "", "f@example.org", "s",
        "b"},
       "the recipient \"a@example.org> NOTIFY=NEVER ORCPT=rfc822;b@example.org\" is not a plain "
       "address"},
      {{"a@example.org", "", "h@example.org> RET=FULL", "f@example.org", "s", "b"},
       "the recipient \"h@example.org> RET=FULL\" is not a plain address"},
      {{"a@example.org", "", "", "f@example.org> SIZE=1 AUTH=x", "s", "b"},
       "the sender \"f@example.org> SIZE=1 AUTH=x\" is not a plain address"},
      {{"a@example.org", "", "", "f@exa mple.org", "s", "b"},
       "the sender \"f@exa mple.org\" is not a plain address"},
      {{"\"a b\"@example.org", "", "", "f@example.org", "s", "b"}, ""},
      {{"\"a> X=1\"@example.org", "", "", "f@example.org", "s", "b"},
       "the recipient \"\"a> X=1\"@example.org\" is not a plain address"},
  };
  for (const Case& c : cases) {
    ComposedMail out;
    EXPECT_EQ(ComposeMail(c.mail, kDate, "i", &out), c.error) << c.mail.to << c.mail.from;
  }
}

TEST(MailMessage, BodyLineEndsAndLongLines) {
  struct Case {
    std::string body;
    std::string expected;
    bool quoted;
  };
  const std::string longLine(1200, 'x');
  const std::vector<Case> cases = {
      {"", "", false},
      {"a\r\nb", "a\r\nb\r\n", false},
      {"a\rb\n\nc\r\n", "a\r\nb\r\n\r\nc\r\n", false},
      {".starts with a dot\n.\n", ".starts with a dot\r\n.\r\n", false},  // libcurl doubles dots
      {"trailing blank \n", "trailing blank \r\n", false},
      {"tab\tok", "tab\tok\r\n", false},
      {"bell\a", "bell=07\r\n", true},
      {"ü ", "=C3=BC=20\r\n", true},
  };
  for (const Case& c : cases) {
    const auto [headers, body] =
        Split(Compose(SpooledMail{"a@example.org", "", "", "f@example.org", "s", c.body}).text);
    EXPECT_EQ(body, c.expected) << "body: " << c.body;
    EXPECT_EQ(headers.find("quoted-printable") != std::string::npos, c.quoted) << c.body;
  }
  // A line longer than SMTP allows is quoted-printable with soft breaks.
  const std::string text =
      Compose(SpooledMail{"a@example.org", "", "", "f@example.org", "s", longLine}).text;
  const auto [headers, body] = Split(text);
  EXPECT_NE(headers.find("quoted-printable"), std::string::npos);
  size_t longest = 0;
  for (size_t start = 0; start < body.size();) {
    const size_t end = body.find("\r\n", start);
    longest = std::max(longest, end - start);
    start = end + 2;
  }
  EXPECT_LE(longest, 76u);
}

TEST(MailMessage, EncodedWordsKeepCharactersWhole) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"plain", "plain"},
      {"", ""},
      {"=?not a word?=", "=?UTF-8?B?PT9ub3QgYSB3b3JkPz0=?="},
      {"ä", "=?UTF-8?B?w6Q=?="},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeHeaderText(c.text, 9), c.expected) << c.text;

  // 30 two-byte characters (60 bytes) make two words of whole characters.
  std::string umlauts;
  for (int i = 0; i < 30; ++i) umlauts += "ü";
  const std::string encoded = EncodeHeaderText(umlauts, 9);
  const size_t fold = encoded.find("\r\n ");
  ASSERT_NE(fold, std::string::npos) << encoded;
  EXPECT_EQ(encoded.find("\r\n ", fold + 1), std::string::npos);
  // 19 characters = 38 bytes in the first word: with "Subject: " its line
  // has 73 characters, a 20th would make 77 of the 76 a line with an encoded
  // word may have.
  EXPECT_EQ(encoded.substr(0, fold),
            "=?UTF-8?B?w7zDvMO8w7zDvMO8w7zDvMO8w7zDvMO8w7zDvMO8w7zDvMO8w7w=?=");
  // Little room left on the line: the first word starts a new one.
  EXPECT_EQ(EncodeHeaderText("ü", 70), "\r\n =?UTF-8?B?w7w=?=");

  // In a whole mail, no line that holds an encoded word is longer than 76.
  const std::string longName = "Überwachungsagent der Datenbank " + umlauts;
  const ComposedMail out =
      Compose(SpooledMail{"a@example.org, " + longName + " <ops@example.org>, Jörg <j@example.org>",
                          longName + " <c@example.org>", "", longName + " <varo@example.org>",
                          "Zürich: Festplatte voll auf dem Server " + umlauts, "b"});
  const std::string headers = Split(out.text).first;
  for (size_t start = 0; start < headers.size();) {
    const size_t end = headers.find("\r\n", start);
    const std::string line = headers.substr(start, end - start);
    if (line.find("=?") != std::string::npos) {
      EXPECT_LE(line.size(), 76u) << line;
    }
    start = end + 2;
  }
  // An encoded name late on a line moves to the next line whole: no line of
  // a blank alone comes before it.
  const std::string late =
      Compose(SpooledMail{std::string(50, 'a') + "@example.org, Jörg <j@example.org>", "", "",
                          "f@example.org", "s", "b"})
          .text;
  EXPECT_NE(late.find("To: " + std::string(50, 'a') +
                      "@example.org,\r\n =?UTF-8?B?SsO2cmc=?= <j@example.org>\r\n"),
            std::string::npos)
      << late;
  EXPECT_EQ(out.recipients, (std::vector<std::string>{"a@example.org", "ops@example.org",
                                                      "j@example.org", "c@example.org"}));

  // A long ASCII subject that fits the line limit stays as it is; a longer
  // one is encoded and folded.
  EXPECT_EQ(EncodeHeaderText(std::string(900, 's'), 9), std::string(900, 's'));
  EXPECT_NE(EncodeHeaderText(std::string(1000, 's'), 9).find("\r\n "), std::string::npos);
}

TEST(MailMessage, PiecesOfAddressesAndDates) {
  EXPECT_EQ(SplitAddressList(" a@x.org ,\r\nb@x.org,,"),
            (std::vector<std::string>{"a@x.org", "b@x.org"}));
  EXPECT_EQ(SplitAddressList(""), std::vector<std::string>{});
  EXPECT_EQ(EnvelopeAddress("Name <n@x.org>"), "n@x.org");
  EXPECT_EQ(EnvelopeAddress(" n@x.org "), "n@x.org");
  EXPECT_EQ(EnvelopeAddress("<>"), "");
  EXPECT_EQ(StripLineBreaks("a\r\n\r\nb\tc\x01"), "a b\tc ");
  EXPECT_EQ(FormatMailDate(0), "Thu, 01 Jan 1970 00:00:00 +0000");
  EXPECT_EQ(FormatMailDate(kDate), "Tue, 08 Dec 2026 16:05:56 +0000");
  const std::string id1 = MakeMessageId("varo@example.org");
  const std::string id2 = MakeMessageId("varo@example.org");
  EXPECT_NE(id1, id2);
  EXPECT_EQ(id1.substr(id1.find('@')), "@example.org");
  const std::string local = MakeMessageId("bad domain@exa mple");
  EXPECT_EQ(local.find(' '), std::string::npos);
}

}  // namespace
