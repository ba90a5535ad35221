// The text of a queued mail as it goes to the SMTP server: the envelope
// addresses and the message (headers and body) built from one row of
// varo.smtp_spool. Pure functions over strings; any thread.
//
// The row's texts come from alerts and are never trusted as header syntax:
// line breaks in a subject or address are turned into blanks (one header stays
// one header), non-ASCII subjects and display names are encoded as RFC 2047
// words, the body is declared UTF-8 and sent quoted-printable when it is not
// plain short-lined ASCII, and every line ends with CRLF. The Bcc addresses go
// into the envelope only.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// The columns of one spool row that make the mail.
struct SpooledMail {
  std::string to;    // comma-separated addresses
  std::string cc;    // comma-separated addresses
  std::string bcc;   // comma-separated addresses, never written into the text
  std::string from;  // one address
  std::string subject;
  std::string body;
};

// What the SMTP client sends.
struct ComposedMail {
  // MAIL FROM: the bare address of `from` (empty: the null sender).
  std::string envelopeFrom;
  // RCPT TO: the bare addresses of to, then cc, then bcc, in list order.
  std::vector<std::string> recipients;
  // Headers, a blank line and the body; CRLF line ends. Lines that begin with
  // a dot are left to the SMTP client, which doubles the dot.
  std::string text;
};

// Builds the mail of `mail`, dated `date` (UTC) and carrying `messageId` (the
// text between the angle brackets of the Message-ID header). Returns an empty
// text on success, otherwise why the row cannot be sent (no recipient at all,
// an address longer than a header line allows, or an envelope address with
// angle brackets or blanks, which would add parameters to the SMTP command).
std::string ComposeMail(const SpooledMail& mail, std::time_t date, std::string_view messageId,
                        ComposedMail* out);

// The entries of a comma-separated address list, with line breaks and control
// characters made blanks, blanks trimmed and empty entries dropped.
std::vector<std::string> SplitAddressList(std::string_view list);

// The bare address of an entry: what stands between "<" and ">" when the entry
// has them ("Ops <ops@example.org>"), otherwise the entry itself.
std::string EnvelopeAddress(std::string_view entry);

// `text` with every CR, LF and other control character except TAB turned into
// a blank, and runs of such characters made one blank.
std::string StripLineBreaks(std::string_view text);

// `text` as header content after `used` characters of its line ("Subject: "):
// unchanged when it is printable ASCII that fits the line, otherwise RFC 2047
// "B" words in UTF-8 of at most 75 characters, folded onto continuation lines,
// never splitting a character.
std::string EncodeHeaderText(std::string_view text, size_t used);

// `date` in the form of the Date header, in UTC: "Tue, 08 Dec 2026 16:05:56 +0000".
std::string FormatMailDate(std::time_t date);

// A new, process-wide unique Message-ID text "<unique>@<domain>" (without the
// angle brackets): the domain of `fromAddress` when it has a plain one, else
// the host name.
std::string MakeMessageId(std::string_view fromAddress);
