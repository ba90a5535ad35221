#include "db/stored_password.h"

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/text.h"

// Stored passwords are an 8-character tag followed by upper-case hex digits. The
// password goes through two passes; each pass permutes the byte values, encrypts
// them with AES-256-CBC under a key derived from the material below, and
// hex-encodes the ciphertext, which is the input of the next pass. The central
// database's set-up tool (varo-passwd) uses this same file, so the material
// exists in exactly one place.

namespace {

// ---- Key material -----------------------------------------------------------
constexpr char kTag[] = "VARO~pw1";         // 8 characters, begins every stored text
constexpr char kSaltSource[] = "q8#Lz!4e";  // salt = kSaltSource - kTag, byte by byte
constexpr char kPassPhrase[] =              // 33 bytes
    "m3.Rk9~Tz_Ow2#Lh7!Qe5^Vc1*Xa8&Jy0";
constexpr int kPasses = 2;
constexpr int kKeyDerivationCount = 5;
// The byte permutation of the hooks: b -> (b * kPermMul + kPermAdd) mod 256,
// a bijection because the multiplier is odd.
constexpr unsigned kPermMul = 167;
constexpr unsigned kPermAdd = 0x5B;

static_assert(sizeof(kTag) - 1 == 8, "the tag has 8 characters");
static_assert(sizeof(kSaltSource) - 1 == 8, "the salt source has 8 characters");
static_assert(sizeof(kPassPhrase) - 1 == 33, "the pass phrase has 33 bytes");

const EVP_CIPHER* PasswordCipherAlgorithm() { return EVP_aes_256_cbc(); }
const EVP_MD* PasswordDigest() { return EVP_sha256(); }
// -----------------------------------------------------------------------------

using ByteHook = void (*)(unsigned char* buffer, size_t length);

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

std::array<unsigned char, 256> MakeForwardTable() {
  std::array<unsigned char, 256> table{};
  for (unsigned b = 0; b < 256; ++b) table[b] = static_cast<unsigned char>(b * kPermMul + kPermAdd);
  return table;
}

std::array<unsigned char, 256> MakeInverseTable() {
  std::array<unsigned char, 256> forward = MakeForwardTable();
  std::array<unsigned char, 256> inverse{};
  for (unsigned b = 0; b < 256; ++b) inverse[forward[b]] = static_cast<unsigned char>(b);
  return inverse;
}

// Applied to each pass's plaintext after decryption.
void DecryptionHook(unsigned char* buffer, size_t length) {
  static const std::array<unsigned char, 256> inverse = MakeInverseTable();
  for (size_t i = 0; i < length; ++i) buffer[i] = inverse[buffer[i]];
}

// Applied to each pass's plaintext before encryption (the set-up tool's side).
void EncryptionHook(unsigned char* buffer, size_t length) {
  static const std::array<unsigned char, 256> forward = MakeForwardTable();
  for (size_t i = 0; i < length; ++i) buffer[i] = forward[buffer[i]];
}

// One password cipher. Its contexts hold the derived key and IV and are never
// used directly: every operation works on its own copy, because an OpenSSL
// cipher context keeps per-operation state and threads decrypt concurrently.
struct PasswordCipher {
  char tag[8] = {};
  int32_t passes = 0;
  CipherCtxPtr encryptionContext;
  CipherCtxPtr decryptionContext;
  ByteHook decryptionHook = nullptr;
  ByteHook secondHook = nullptr;
  bool ready = false;

  PasswordCipher() {
    std::memcpy(tag, kTag, sizeof(tag));
    passes = kPasses;
    decryptionHook = DecryptionHook;
    secondHook = EncryptionHook;

    unsigned char salt[8];
    for (int i = 0; i < 8; ++i) {
      salt[i] = static_cast<unsigned char>(static_cast<unsigned char>(kSaltSource[i]) -
                                           static_cast<unsigned char>(kTag[i]));
    }
    unsigned char key[EVP_MAX_KEY_LENGTH];
    unsigned char iv[EVP_MAX_IV_LENGTH];
    int keyLength =
        EVP_BytesToKey(PasswordCipherAlgorithm(), PasswordDigest(), salt,
                       reinterpret_cast<const unsigned char*>(kPassPhrase),
                       static_cast<int>(sizeof(kPassPhrase) - 1), kKeyDerivationCount, key, iv);
    if (keyLength != 32) return;
    CipherCtxPtr enc(EVP_CIPHER_CTX_new());
    CipherCtxPtr dec(EVP_CIPHER_CTX_new());
    if (!enc || !dec ||
        EVP_EncryptInit_ex(enc.get(), PasswordCipherAlgorithm(), nullptr, key, iv) != 1 ||
        EVP_DecryptInit_ex(dec.get(), PasswordCipherAlgorithm(), nullptr, key, iv) != 1) {
      return;
    }
    OPENSSL_cleanse(key, sizeof(key));
    OPENSSL_cleanse(iv, sizeof(iv));
    encryptionContext = std::move(enc);
    decryptionContext = std::move(dec);
    ready = true;
  }
};

// The registered ciphers, searched by tag. Built on first use; a namespace-scope
// reference below makes that happen during static initialisation, before any
// thread starts, and the list is read-only afterwards.
const std::vector<const PasswordCipher*>& RegisteredCiphers() {
  static const PasswordCipher cipher;
  static const std::vector<const PasswordCipher*> list = [] {
    std::vector<const PasswordCipher*> ciphers;
    if (cipher.ready) ciphers.push_back(&cipher);
    return ciphers;
  }();
  return list;
}
[[maybe_unused]] const bool ciphersReady = !RegisteredCiphers().empty();

const PasswordCipher* FindCipher(const std::string& storedText) {
  if (storedText.size() < 9) return nullptr;
  for (const PasswordCipher* cipher : RegisteredCiphers()) {
    if (storedText.compare(0, 8, cipher->tag, 8) == 0) return cipher;
  }
  return nullptr;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Pairs of hex digits become bytes; where a pair is not two hex digits, one
// character is skipped and decoding goes on from the next one.
std::vector<unsigned char> HexDecode(const std::string& text, size_t start) {
  std::vector<unsigned char> bytes;
  size_t i = start;
  while (i + 1 < text.size()) {
    int high = HexValue(text[i]);
    int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    i += 2;
  }
  return bytes;
}

std::string HexEncode(const std::vector<unsigned char>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

// One pass of `templateContext`'s direction over `input`; false when OpenSSL
// refuses (for decryption: a wrong length or bad padding in the final block).
bool RunCipherPass(const EVP_CIPHER_CTX* templateContext, bool encrypt,
                   const std::vector<unsigned char>& input, std::vector<unsigned char>& output) {
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CIPHER_CTX_copy(ctx.get(), templateContext) != 1) return false;
  output.assign(input.size() + EVP_MAX_BLOCK_LENGTH, 0);
  int length = 0;
  int finalLength = 0;
  const int inputLength = static_cast<int>(input.size());
  if (encrypt) {
    if (EVP_EncryptUpdate(ctx.get(), output.data(), &length, input.data(), inputLength) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), output.data() + length, &finalLength) != 1) {
      return false;
    }
  } else {
    if (EVP_DecryptUpdate(ctx.get(), output.data(), &length, input.data(), inputLength) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), output.data() + length, &finalLength) != 1) {
      return false;
    }
  }
  output.resize(static_cast<size_t>(length + finalLength));
  return true;
}

// True when `bytes` is well-formed UTF-8 without NUL characters, so that the
// password can be passed to libpq and to a mail server unchanged.
bool IsPasswordText(const std::vector<unsigned char>& bytes) {
  return IsValidUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

std::string DecryptStoredPassword(const std::string& storedText, bool* ok) {
  const PasswordCipher* cipher = FindCipher(storedText);
  if (!cipher || !cipher->ready) {
    if (ok) *ok = storedText.empty();
    return std::string();
  }
  std::string text = storedText.substr(8);
  std::vector<unsigned char> plain;
  for (int pass = 0; pass < cipher->passes; ++pass) {
    std::vector<unsigned char> cipherText = HexDecode(text, 0);
    if (!RunCipherPass(cipher->decryptionContext.get(), false, cipherText, plain)) {
      if (ok) *ok = false;
      return std::string();
    }
    cipher->decryptionHook(plain.data(), plain.size());
    text.assign(plain.begin(), plain.end());
  }
  // A stored text that decrypts to bytes that are no text was not made from a
  // password; answer it as undecryptable rather than hand on garbage.
  if (!IsPasswordText(plain)) {
    if (ok) *ok = false;
    return std::string();
  }
  if (ok) *ok = true;
  return text;
}

std::string EncryptStoredPassword(const std::string& password) {
  const std::vector<const PasswordCipher*>& ciphers = RegisteredCiphers();
  if (ciphers.empty()) return std::string();
  const PasswordCipher* cipher = ciphers.front();
  std::vector<unsigned char> input(password.begin(), password.end());
  std::vector<unsigned char> output;
  for (int pass = 0; pass < cipher->passes; ++pass) {
    cipher->secondHook(input.data(), input.size());
    if (!RunCipherPass(cipher->encryptionContext.get(), true, input, output)) return std::string();
    std::string hex = HexEncode(output);
    input.assign(hex.begin(), hex.end());
  }
  return std::string(cipher->tag, 8) + std::string(input.begin(), input.end());
}
