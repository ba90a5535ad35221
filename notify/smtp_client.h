// Sends one composed mail to the SMTP server of varo.config through libcurl,
// and the log text for a failed send. Each call uses its own libcurl handle,
// so any thread may call it (after InitNotifyLibraries).
#pragma once

#include <functional>
#include <string>

#include "notify/mail_message.h"

// The mail server settings of varo.config, the password already decrypted.
struct SmtpSettings {
  std::string smtp_server;  // host name or address
  std::string smtp_port;    // as text
  std::string smtp_username;
  std::string smtp_password;        // clear text; never logged
  std::string smtp_encryption;      // "t": STARTTLS required
  std::string smtp_enabled;         // read with the others; nothing depends on it
  std::string smtp_authentication;  // "t": log in with user name and password
};

// libcurl result codes that SendMail and MailErrorText name.
inline constexpr int kMailOk = 0;
inline constexpr int kMailInitFailed = 2;     // CURLE_FAILED_INIT
inline constexpr int kMailBadServer = 3;      // CURLE_URL_MALFORMAT
inline constexpr int kMailConnectFailed = 7;  // CURLE_COULDNT_CONNECT
inline constexpr int kMailOutOfMemory = 27;   // CURLE_OUT_OF_MEMORY
inline constexpr int kMailLoginDenied = 67;   // CURLE_LOGIN_DENIED

// How long one send may take: connecting, each server response, the whole mail.
inline constexpr long kMailConnectTimeoutSeconds = 30;
inline constexpr long kMailResponseTimeoutSeconds = 60;
inline constexpr long kMailTotalTimeoutSeconds = 300;

// Sends `mail` and returns the libcurl result code (0 once the server accepted
// the mail). smtp_encryption "t" requires STARTTLS for the whole session (the
// server's certificate is not verified); smtp_authentication "t" logs in. A
// server or port setting that cannot form an SMTP address gives kMailBadServer
// without connecting. `stopRequested`, polled while the transfer runs, aborts
// it when it answers true.
int SendMail(const SmtpSettings& settings, const ComposedMail& mail,
             const std::function<bool()>& stopRequested);

// The warning logged for a failed send with libcurl code `code`.
std::string MailErrorText(int code, const SmtpSettings& settings);
