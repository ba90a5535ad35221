// The password cipher: round trips, the accepted stored-text forms, the texts
// that must be refused, concurrent use, and the varo-passwd tool.
#include "db/stored_password.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace {

constexpr size_t kTagLength = 8;

std::string Decrypt(const std::string& stored, bool& ok) {
  ok = !ok;  // make sure the flag is written
  return DecryptStoredPassword(stored, &ok);
}

TEST(StoredPassword, RoundTripsEmptyAsciiAndNonAscii) {
  const std::vector<std::string> passwords = {"",
                                              "secret",
                                              "with space and 'quote' \\ \"",
                                              "pässwörd ✓ 日本語 🐘",
                                              std::string(300, 'x'),
                                              "exactly16bytes!!"};
  for (const std::string& password : passwords) {
    std::string stored = EncryptStoredPassword(password);
    ASSERT_GT(stored.size(), kTagLength) << password;
    bool ok = false;
    EXPECT_EQ(Decrypt(stored, ok), password);
    EXPECT_TRUE(ok) << password;
  }
}

TEST(StoredPassword, StoredFormIsTagAndUpperCaseHex) {
  std::string a = EncryptStoredPassword("secret");
  std::string b = EncryptStoredPassword("other");
  EXPECT_EQ(a.substr(0, kTagLength), b.substr(0, kTagLength));
  for (char c : a.substr(kTagLength)) {
    EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << a;
  }
  // Whole cipher blocks: a multiple of 16 bytes, two hex digits each.
  EXPECT_EQ((a.size() - kTagLength) % 32, 0u) << a;
  EXPECT_NE(a, b);
}

TEST(StoredPassword, LowerCaseHexAndSeparatorsDecodeLikeUpperCase) {
  std::string stored = EncryptStoredPassword("Geheim-42");
  std::string lower = stored.substr(0, kTagLength);
  for (char c : stored.substr(kTagLength)) lower.push_back(static_cast<char>(std::tolower(c)));
  bool ok = false;
  EXPECT_EQ(Decrypt(lower, ok), "Geheim-42");
  EXPECT_TRUE(ok);

  // A character that is not a hex digit is skipped on its own.
  std::string spaced = stored.substr(0, kTagLength);
  std::string hex = stored.substr(kTagLength);
  for (size_t i = 0; i < hex.size(); i += 2) spaced += " " + hex.substr(i, 2);
  EXPECT_EQ(Decrypt(spaced, ok), "Geheim-42");
  EXPECT_TRUE(ok);
}

TEST(StoredPassword, EmptyTextIsAnEmptyPassword) {
  bool ok = false;
  EXPECT_EQ(Decrypt("", ok), "");
  EXPECT_TRUE(ok);
}

TEST(StoredPassword, RefusesTextsThatAreNotStoredPasswords) {
  const std::string stored = EncryptStoredPassword("secret");
  const std::string tag = stored.substr(0, kTagLength);
  const std::string hex = stored.substr(kTagLength);
  std::string wrongTag = stored;
  wrongTag[0] = wrongTag[0] == 'X' ? 'Y' : 'X';
  std::string flipped = stored;
  flipped.back() = flipped.back() == '0' ? '1' : '0';

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"short plain text", "abc"},
      {"eight characters", "12345678"},
      {"the tag alone", tag},
      {"unknown tag", wrongTag},
      {"clear-text password", "secretpassword"},
      {"truncated final block", stored.substr(0, stored.size() - 2)},
      {"odd digit count", stored.substr(0, stored.size() - 1)},
      {"no ciphertext", tag + "ZZ"},
      {"zero block", tag + std::string(32, '0')},
      {"changed last digit", flipped},
      {"one pass only", tag + hex.substr(0, 32)},
  };
  for (const auto& [what, text] : cases) {
    bool ok = true;
    EXPECT_EQ(Decrypt(text, ok), "") << what << ": " << text;
    EXPECT_FALSE(ok) << what << ": " << text;
  }
}

TEST(StoredPassword, ConcurrentDecryptionsAllSucceed) {
  std::vector<std::string> passwords;
  std::vector<std::string> stored;
  for (int i = 0; i < 8; ++i) {
    passwords.push_back("password-" + std::to_string(i) +
                        std::string(static_cast<size_t>(i) * 7, 'p'));
    stored.push_back(EncryptStoredPassword(passwords.back()));
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 300; ++round) {
        size_t i = static_cast<size_t>((t + round) % 8);
        bool ok = false;
        if (DecryptStoredPassword(stored[i], &ok) != passwords[i] || !ok) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// ---- varo-passwd ------------------------------------------------------------

ProcessResult RunTool(const std::string& input, const std::string& extraArgs = "") {
  std::string tool = std::string(VARO_BINARY_DIR) + "/varo-passwd";
  return RunProcess(
      {"/bin/sh", "-c", "printf '%s' " + ShellQuote(input) + " | " + ShellQuote(tool) + extraArgs});
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(VaroPasswdTool, PrintsAStoredFormTheAgentDecrypts) {
  for (const std::string& password :
       {std::string("secret"), std::string("dürüm ✓"), std::string("")}) {
    ProcessResult r = RunTool(password);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    bool ok = false;
    EXPECT_EQ(DecryptStoredPassword(FirstLine(r.output), &ok), password);
    EXPECT_TRUE(ok);
  }
}

TEST(VaroPasswdTool, DropsOneLineEndOnly) {
  ProcessResult r = RunTool("secret\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(DecryptStoredPassword(FirstLine(r.output)), "secret");

  r = RunTool("secret\r\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(DecryptStoredPassword(FirstLine(r.output)), "secret");

  r = RunTool("two\nlines\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(DecryptStoredPassword(FirstLine(r.output)), "two\nlines");
}

TEST(VaroPasswdTool, RefusesWhatItCannotStore) {
  ProcessResult r = RunTool("\xff\xfe broken");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("could not be encrypted"), std::string::npos) << r.output;

  r = RunTool("secret", " extra-argument");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_NE(r.output.find("usage"), std::string::npos) << r.output;
}

}  // namespace
