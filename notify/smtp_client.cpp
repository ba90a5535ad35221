#include "notify/smtp_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "platform/number_parser.h"
#include "platform/text.h"

namespace {

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using CurlListPtr = std::unique_ptr<curl_slist, CurlListDeleter>;

// The mail text handed to libcurl piece by piece.
struct MailReader {
  const std::string* text;
  size_t offset = 0;
};

size_t ReadMailText(char* buffer, size_t size, size_t count, void* userdata) {
  auto* reader = static_cast<MailReader*>(userdata);
  const size_t left = reader->text->size() - reader->offset;
  const size_t n = std::min(size * count, left);
  std::memcpy(buffer, reader->text->data() + reader->offset, n);
  reader->offset += n;
  return n;
}

int CheckStop(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* stop = static_cast<const std::function<bool()>*>(userdata);
  return *stop && (*stop)() ? 1 : 0;
}

// "smtp://host:port/", or empty when the settings cannot form one. A server
// text is a host name, an IPv4 address or an IPv6 address (bracketed here);
// anything else could change the meaning of the URL.
std::string SmtpUrl(const SmtpSettings& settings) {
  const std::optional<uint16_t> port =
      ParseDecimal<uint16_t>(settings.smtp_port, DecimalForm::kUnsigned);
  if (!port || *port == 0) return std::string();
  const std::string& server = settings.smtp_server;
  if (server.empty()) return std::string();
  in6_addr v6{};
  if (inet_pton(AF_INET6, server.c_str(), &v6) == 1) {
    return "smtp://[" + server + "]:" + std::to_string(*port) + "/";
  }
  for (char c : server) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
      return std::string();
    }
  }
  return "smtp://" + server + ":" + std::to_string(*port) + "/";
}

}  // namespace

int SendMail(const SmtpSettings& settings, const ComposedMail& mail,
             const std::function<bool()>& stopRequested) {
  const std::string url = SmtpUrl(settings);
  if (url.empty()) return kMailBadServer;
  CurlPtr curl(curl_easy_init());
  if (!curl) return kMailInitFailed;
  CURL* h = curl.get();

  CurlListPtr recipients;
  for (const std::string& address : mail.recipients) {
    curl_slist* grown = curl_slist_append(recipients.get(), address.c_str());
    if (grown == nullptr) return kMailOutOfMemory;
    recipients.release();
    recipients.reset(grown);
  }

  MailReader reader{&mail.text};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp");
  // No signals from libcurl (its resolver timeouts would need SIGALRM); the
  // process ignores SIGPIPE instead (InitNotifyLibraries).
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kMailConnectTimeoutSeconds);
  curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, kMailResponseTimeoutSeconds);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, kMailTotalTimeoutSeconds);
  if (settings.smtp_encryption == "t") {
    curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  } else {
    curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_NONE));
  }
  if (settings.smtp_authentication == "t") {
    curl_easy_setopt(h, CURLOPT_USERNAME, settings.smtp_username.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, settings.smtp_password.c_str());
  }
  curl_easy_setopt(h, CURLOPT_MAIL_FROM, ("<" + mail.envelopeFrom + ">").c_str());
  curl_easy_setopt(h, CURLOPT_MAIL_RCPT, recipients.get());
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadMailText);
  curl_easy_setopt(h, CURLOPT_READDATA, &reader);
  curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(mail.text.size()));
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, CheckStop);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &stopRequested);
  return static_cast<int>(curl_easy_perform(h));
}

std::string MailErrorText(int code, const SmtpSettings& settings) {
  switch (code) {
    case kMailConnectFailed:
      return StrFormat(_("SMTPSpooler: Unable to connect to smtp server %s:%s"),
                       settings.smtp_server.c_str(), settings.smtp_port.c_str());
    case kMailOutOfMemory:
      return _("SMTPSpooler: Unable to allocate memory for message buffer");
    case kMailLoginDenied:
      return _("SMTPSpooler: Failed to login");
    case kMailBadServer:
      return StrFormat(_("SMTPSpooler: The smtp_server and smtp_port settings (%s:%s) do not "
                         "name a mail server; the mail stays queued"),
                       settings.smtp_server.c_str(), settings.smtp_port.c_str());
    default:
      return StrFormat(_("SMTPSpooler: Unable to send email with error code: %d"), code);
  }
}
