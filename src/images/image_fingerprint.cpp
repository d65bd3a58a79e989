#include "images/image_fingerprint.h"

#include <openssl/evp.h>

namespace vek {

Sha256Hasher::Sha256Hasher() : context_(EVP_MD_CTX_new()), ok_(false) {
  ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
}

Sha256Hasher::~Sha256Hasher() { EVP_MD_CTX_free(context_); }

void Sha256Hasher::Update(std::span<const uint8_t> bytes) {
  if (ok_ && !bytes.empty()) ok_ = EVP_DigestUpdate(context_, bytes.data(), bytes.size()) == 1;
}

Sha256Digest Sha256Hasher::Finish() {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (ok_) ok_ = EVP_DigestFinal_ex(context_, digest.data(), &length) == 1 && length == digest.size();
  return digest;
}

std::string HexOf(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * digest.size());
  for (uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string FileDigestLine(const FileFingerprint& file) { return HexOf(file.sha256) + "  " + file.name; }

std::string SetDigestLine(const ImageSetFingerprint& fingerprint) {
  return "image set SHA-256: " + HexOf(fingerprint.set_sha256);
}

bool FingerprintOfSet(std::vector<FileFingerprint> files, ImageSetFingerprint& fingerprint) {
  Sha256Hasher hasher;
  for (const FileFingerprint& file : files) {
    const std::string line = FileDigestLine(file) + "\n";
    hasher.Update({reinterpret_cast<const uint8_t*>(line.data()), line.size()});
  }
  const Sha256Digest set_sha256 = hasher.Finish();
  if (!hasher.ok()) return false;
  fingerprint.files = std::move(files);
  fingerprint.set_sha256 = set_sha256;
  return true;
}

}  // namespace vek
