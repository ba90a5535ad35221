#include "notify/mail_message.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <random>

#include "platform/text.h"

namespace {

// Longest line SMTP allows without its CRLF, and the length a header line
// should keep to.
constexpr size_t kMaxLineLength = 998;
constexpr size_t kFoldAt = 76;
// Longest address list entry (with its display name) that is written into a
// header; the rest of the line holds the header name and a separator.
constexpr size_t kMaxAddressLength = 900;
// UTF-8 bytes in one encoded word: 45 bytes are 60 base64 characters, which
// with "=?UTF-8?B?" and "?=" make the 72 characters of a word (at most 75).
constexpr size_t kBytesPerWord = 45;
// A line that holds an encoded word has at most 76 characters (RFC 2047);
// "=?UTF-8?B?" and "?=" take 12 of them.
constexpr size_t kEncodedLineLength = 76;
constexpr size_t kWordOverhead = 12;

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsPrintableAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x7F || (c < 0x20 && c != '\t')) return false;
  }
  return true;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[n >> 18 & 63];
    out += kDigits[n >> 12 & 63];
    out += kDigits[n >> 6 & 63];
    out += kDigits[n & 63];
  }
  if (i < bytes.size()) {
    uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kDigits[n >> 18 & 63];
    out += kDigits[n >> 12 & 63];
    out += i + 1 < bytes.size() ? kDigits[n >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

// Length of the UTF-8 sequence that `lead` starts (1 for a stray byte).
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// UTF-8 bytes of the longest encoded word that still fits a line already
// holding `used` characters (0: none does).
size_t WordBytesAfter(size_t used) {
  if (used + kWordOverhead >= kEncodedLineLength) return 0;
  return std::min(kBytesPerWord, (kEncodedLineLength - used - kWordOverhead) / 4 * 3);
}

// Characters written on the last line of `text` (after its last CRLF).
size_t LastLineLength(std::string_view text, size_t lineStart) {
  const size_t at = text.rfind("\r\n");
  return at == std::string_view::npos ? lineStart + text.size() : text.size() - at - 2;
}

// A display name as a quoted string when it holds characters that have a
// meaning in an address header.
std::string QuoteWhenSpecial(std::string_view name) {
  if (name.find_first_of("()<>[]:;@\\,.\"") == std::string_view::npos) return std::string(name);
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// One address list entry for a header line that already holds `used`
// characters: a non-ASCII display name encoded, a name with special
// characters quoted, the address kept.
std::string FormatAddressEntry(std::string_view entry, size_t used) {
  const size_t open = entry.rfind('<');
  if (open == std::string_view::npos || open == 0 ||
      entry.find('>', open) == std::string_view::npos) {
    return std::string(entry);
  }
  std::string_view name = TrimBlanks(entry.substr(0, open));
  const std::string_view address = TrimBlanks(entry.substr(open));
  std::string plainName;
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    name = name.substr(1, name.size() - 2);
    for (size_t i = 0; i < name.size(); ++i) {
      if (name[i] == '\\' && i + 1 < name.size()) ++i;
      plainName += name[i];
    }
  } else {
    plainName = std::string(name);
  }
  if (plainName.empty()) return std::string(address);
  if (IsPrintableAscii(plainName) && plainName.find("=?") == std::string::npos) {
    return QuoteWhenSpecial(plainName) + " " + std::string(address);
  }
  const std::string shown = EncodeHeaderText(plainName, used);
  // The address goes onto a line of its own when the encoded word's line
  // could not take it.
  const bool fits = LastLineLength(shown, used) + 1 + address.size() <= kEncodedLineLength;
  return shown + (fits ? " " : "\r\n ") + std::string(address);
}

// "Name: entry, entry" folded between entries so that lines stay short.
std::string AddressHeader(std::string_view name, const std::vector<std::string>& entries) {
  std::string line = std::string(name) + ": ";
  size_t column = line.size();
  bool first = true;
  for (const std::string& entry : entries) {
    std::string formatted = FormatAddressEntry(entry, column + 2);
    if (!first) {
      if (column + 2 + formatted.size() > kFoldAt) {
        line += ",\r\n ";
        column = 1;
        // Formatted again for where it now starts, so that an encoded name
        // does not begin with a fold of its own (a line of a blank alone).
        formatted = FormatAddressEntry(entry, column);
      } else {
        line += ", ";
        column += 2;
      }
    }
    line += formatted;
    column = LastLineLength(formatted, column);
    first = false;
  }
  return line + "\r\n";
}

// The body split into lines at CRLF, CR or LF; a final line break ends the
// last line rather than starting an empty one.
std::vector<std::string_view> BodyLines(std::string_view body) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\r' && body[i] != '\n') continue;
    lines.push_back(body.substr(start, i - start));
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < body.size()) lines.push_back(body.substr(start));
  return lines;
}

// True when every line is printable ASCII (TAB allowed) and short enough to
// go as it is.
bool IsSevenBitSafe(const std::vector<std::string_view>& lines) {
  for (std::string_view line : lines) {
    if (line.size() > kMaxLineLength || !IsPrintableAscii(line)) return false;
  }
  return true;
}

// Quoted-printable (RFC 2045) lines, each at most 76 characters.
std::string QuotedPrintable(const std::vector<std::string_view>& lines) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::string_view line : lines) {
    size_t column = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(line[i]);
      const bool last = i + 1 == line.size();
      const bool encode =
          c == '=' || c >= 0x7F || (c < 0x20 && c != '\t') || ((c == ' ' || c == '\t') && last);
      char token[3] = {static_cast<char>(c), 0, 0};
      size_t size = 1;
      if (encode) {
        token[0] = '=';
        token[1] = kHex[c >> 4];
        token[2] = kHex[c & 15];
        size = 3;
      }
      // Room for the token and, unless it ends the line, a soft break "=".
      if (column + size > (last ? 76u : 75u)) {
        out += "=\r\n";
        column = 0;
      }
      out.append(token, size);
      column += size;
    }
    out += "\r\n";
  }
  return out;
}

// True when `address` can stand between the angle brackets of MAIL FROM or
// RCPT TO as it is: no angle brackets, and blanks only inside a quoted local
// part. Anything else would close the address early and add SMTP parameters
// of the row's choosing ("a@x.org> NOTIFY=NEVER") to the command.
bool IsEnvelopeSafe(std::string_view address) {
  bool quoted = false;
  for (size_t i = 0; i < address.size(); ++i) {
    const char c = address[i];
    if (quoted && c == '\\' && i + 1 < address.size()) {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == '<' || c == '>' || ((c == ' ' || c == '\t') && !quoted)) {
      return false;
    }
  }
  return !quoted;
}

}  // namespace

std::string StripLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool inBreak = false;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7F) {
      if (!inBreak) out += ' ';
      inBreak = true;
      continue;
    }
    inBreak = false;
    out += c;
  }
  return out;
}

std::vector<std::string> SplitAddressList(std::string_view list) {
  std::vector<std::string> entries;
  const std::string clean = StripLineBreaks(list);
  std::string_view rest = clean;
  for (;;) {
    const size_t comma = rest.find(',');
    const std::string_view entry = TrimBlanks(rest.substr(0, comma));
    if (!entry.empty()) entries.emplace_back(entry);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return entries;
}

std::string EnvelopeAddress(std::string_view entry) {
  const size_t open = entry.rfind('<');
  if (open != std::string_view::npos) {
    const size_t close = entry.find('>', open);
    if (close != std::string_view::npos) {
      return std::string(TrimBlanks(entry.substr(open + 1, close - open - 1)));
    }
  }
  return std::string(TrimBlanks(entry));
}

std::string EncodeHeaderText(std::string_view text, size_t used) {
  if (IsPrintableAscii(text) && text.find("=?") == std::string_view::npos &&
      used + text.size() <= kMaxLineLength) {
    return std::string(text);
  }
  std::string out;
  size_t start = 0;
  // The first word shares its line with what stands before it; when too
  // little room is left for a whole character (4 bytes), it starts a new line.
  size_t budget = WordBytesAfter(used);
  if (budget < 4) {
    out = "\r\n ";
    budget = kBytesPerWord;
  }
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size()) {
      const size_t length =
          std::min(SequenceLength(static_cast<unsigned char>(text[end])), text.size() - end);
      if (end + length - start > budget && end > start) break;
      end += length;
    }
    if (start > 0) out += "\r\n ";
    out += "=?UTF-8?B?" + Base64(text.substr(start, end - start)) + "?=";
    start = end;
    budget = kBytesPerWord;
  }
  return out;
}

std::string FormatMailDate(std::time_t date) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm utc{};
  if (gmtime_r(&date, &utc) == nullptr) return "Thu, 01 Jan 1970 00:00:00 +0000";
  return StrFormat("%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday % 7], utc.tm_mday,
                   kMonths[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                   utc.tm_sec);
}

std::string MakeMessageId(std::string_view fromAddress) {
  auto plainDomain = [](std::string_view domain) {
    if (domain.empty() || domain.size() > 253) return false;
    for (char c : domain) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
    }
    return true;
  };
  std::string domain;
  const size_t at = fromAddress.rfind('@');
  if (at != std::string_view::npos && plainDomain(fromAddress.substr(at + 1))) {
    domain = std::string(fromAddress.substr(at + 1));
  } else {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && plainDomain(host)) domain = host;
    if (domain.empty()) domain = "localhost";
  }
  static std::atomic<uint64_t> counter{0};
  static const uint32_t salt = std::random_device{}();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  return StrFormat("%llx.%x.%x.%llu@%s", static_cast<unsigned long long>(micros),
                   static_cast<unsigned>(getpid()), salt,
                   static_cast<unsigned long long>(counter.fetch_add(1)), domain.c_str());
}

std::string ComposeMail(const SpooledMail& mail, std::time_t date, std::string_view messageId,
                        ComposedMail* out) {
  ComposedMail composed;
  const std::string from = std::string(TrimBlanks(StripLineBreaks(ToValidUtf8(mail.from))));
  composed.envelopeFrom = EnvelopeAddress(from);
  const std::vector<std::string> to = SplitAddressList(ToValidUtf8(mail.to));
  const std::vector<std::string> cc = SplitAddressList(ToValidUtf8(mail.cc));
  const std::vector<std::string> bcc = SplitAddressList(ToValidUtf8(mail.bcc));
  for (const std::vector<std::string>* list : {&to, &cc, &bcc}) {
    for (const std::string& entry : *list) {
      std::string address = EnvelopeAddress(entry);
      if (!address.empty()) composed.recipients.push_back(std::move(address));
    }
  }
  if (composed.recipients.empty()) return "the mail has no recipient";
  for (const std::string& address : composed.recipients) {
    if (!IsEnvelopeSafe(address)) return "the recipient \"" + address + "\" is not a plain address";
  }
  if (!IsEnvelopeSafe(composed.envelopeFrom)) {
    return "the sender \"" + composed.envelopeFrom + "\" is not a plain address";
  }
  // An address is never folded; one that could not stand on a header line is
  // not an address a mail server would take either.
  for (const std::vector<std::string>* list : {&to, &cc}) {
    for (const std::string& entry : *list) {
      if (entry.size() > kMaxAddressLength) return "an address is longer than a header line allows";
    }
  }
  if (from.size() > kMaxAddressLength) return "the sender is longer than a header line allows";

  const std::vector<std::string_view> lines = BodyLines(mail.body);
  const bool plain = IsSevenBitSafe(lines) && IsValidUtf8(mail.body);
  const std::string subject = StripLineBreaks(ToValidUtf8(mail.subject));

  std::string& text = composed.text;
  text = "Date: " + FormatMailDate(date) + "\r\n";
  text += AddressHeader("From", from.empty() ? std::vector<std::string>{} : std::vector{from});
  text += AddressHeader("To", to);
  text += AddressHeader("Cc", cc);
  text += "Subject: " + EncodeHeaderText(subject, 9) + "\r\n";
  text += "Message-ID: <" + StripLineBreaks(messageId) + ">\r\n";
  text += "MIME-Version: 1.0\r\n";
  text += "Content-Type: text/plain; charset=UTF-8\r\n";
  text += plain ? "Content-Transfer-Encoding: 7bit\r\n"
                : "Content-Transfer-Encoding: quoted-printable\r\n";
  text += "\r\n";
  if (plain) {
    for (std::string_view line : lines) {
      text += line;
      text += "\r\n";
    }
  } else {
    // Text that is not valid UTF-8 cannot come from the database; should it
    // come, it is sent with replacement characters rather than as stray bytes.
    const std::string valid = ToValidUtf8(mail.body);
    text += QuotedPrintable(BodyLines(valid));
  }
  *out = std::move(composed);
  return std::string();
}
