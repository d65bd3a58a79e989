// The fingerprint of a loaded image set: the SHA-256 of each file and of the
// set as a whole, logged so that a module can be traced to the exact files it
// was given. The digests are OpenSSL's; nothing here hashes by itself.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct evp_md_ctx_st;

namespace vek {

using Sha256Digest = std::array<uint8_t, 32>;

// A SHA-256 digest fed piece by piece, so that a file can be hashed while it is read.
class Sha256Hasher {
 public:
  Sha256Hasher();
  ~Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  // False once the library failed (no memory); the digest is then worthless.
  bool ok() const { return ok_; }
  void Update(std::span<const uint8_t> bytes);
  // The digest of everything fed so far; the hasher is done afterwards.
  Sha256Digest Finish();

 private:
  evp_md_ctx_st* context_;
  bool ok_;
};

// 64 lower-case hexadecimal digits.
std::string HexOf(const Sha256Digest& digest);

struct FileFingerprint {
  std::string name;  // the file name as listed for the platform, without the folder
  Sha256Digest sha256{};
  uint64_t size = 0;  // bytes read
};

struct ImageSetFingerprint {
  std::vector<FileFingerprint> files;  // in load order
  Sha256Digest set_sha256{};
};

// "<64 hex digits>  <file name>": the line sha256sum prints for the file.
std::string FileDigestLine(const FileFingerprint& file);

// "image set SHA-256: <64 hex digits>"
std::string SetDigestLine(const ImageSetFingerprint& fingerprint);

// The set's digest is the SHA-256 of its files' digest lines in load order,
// each ended by one line feed: exactly what sha256sum prints for the files in
// that order, so `sha256sum <files in load order> | sha256sum` gives it again,
// and so does hashing the file lines of the log (line feeds only). False only
// when the library failed.
bool FingerprintOfSet(std::vector<FileFingerprint> files, ImageSetFingerprint& fingerprint);

}  // namespace vek
