// Stored passwords of the central database (monitored-server logins, the mail
// password): decryption for the agent and encryption for the set-up tool. One
// process-wide cipher; thread-safe.
#pragma once

#include <string>

// The clear text of `storedText`, or an empty text (and *ok false when given)
// when it is not a valid stored password.
std::string DecryptStoredPassword(const std::string& storedText, bool* ok = nullptr);

// The stored form of `password`, which DecryptStoredPassword turns back.
std::string EncryptStoredPassword(const std::string& password);
