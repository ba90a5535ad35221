// Feeds arbitrary rows to the mail composer; the sanitizers judge. The input is
// split at NUL bytes into to, cc, bcc, from, subject and body. Whatever the
// row holds, the text must keep to the mail format: CRLF line ends only, no
// header line made of the row's text alone (every header line starts with a
// known name or is a continuation), and the Bcc addresses never in it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "notify/mail_message.h"

namespace {

bool KnownHeaderLine(std::string_view line) {
  static constexpr std::string_view kNames[] = {"Date: ",
                                                "From: ",
                                                "To: ",
                                                "Cc: ",
                                                "Subject: ",
                                                "Message-ID: ",
                                                "MIME-Version: ",
                                                "Content-Type: ",
                                                "Content-Transfer-Encoding: ",
                                                " "};
  for (std::string_view name : kNames) {
    if (line.substr(0, name.size()) == name) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string fields[6];
  for (int i = 0; i < 6; ++i) {
    const size_t nul = i < 5 ? input.find('\0') : std::string_view::npos;
    fields[i] = std::string(input.substr(0, nul));
    input = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
  }
  SpooledMail mail{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
  ComposedMail out;
  if (!ComposeMail(mail, 0, "fuzz@example.org", &out).empty()) return 0;
  const std::string& text = out.text;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) __builtin_trap();
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) __builtin_trap();
  }
  const size_t blank = text.find("\r\n\r\n");
  if (blank == std::string::npos) __builtin_trap();
  for (size_t at = 0; at < blank + 2;) {
    const size_t end = text.find("\r\n", at);
    if (!KnownHeaderLine(std::string_view(text).substr(at, end - at))) __builtin_trap();
    if (end - at > 998) __builtin_trap();
    at = end + 2;
  }
  for (size_t at = blank + 4; at < text.size();) {
    const size_t end = text.find("\r\n", at);
    if (end - at > 998) __builtin_trap();
    at = end + 2;
  }
  return 0;
}
