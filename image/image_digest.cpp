#include "image/image_digest.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#else
#include <glib.h>
#endif

std::optional<std::array<unsigned char, 32>> Sha256(std::span<const unsigned char> bytes) {
  std::array<unsigned char, 32> digest{};
#ifdef _WIN32
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return std::nullopt;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes at most 4 GiB at once; images are far smaller, but
  // the loop keeps it honest.
  for (std::size_t at = 0; ok && at < bytes.size();) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - at, 1u << 30));
    ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(bytes.data() + at), piece, 0));
    at += piece;
  }
  ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) return std::nullopt;
#else
  GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
  if (checksum == nullptr) return std::nullopt;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t piece = std::min<std::size_t>(bytes.size() - at, 1u << 30);
    g_checksum_update(checksum, bytes.data() + at, static_cast<gssize>(piece));
    at += piece;
  }
  gsize length = digest.size();
  g_checksum_get_digest(checksum, digest.data(), &length);
  g_checksum_free(checksum);
  if (length != digest.size()) return std::nullopt;
#endif
  return digest;
}

std::string Sha256Hex(std::span<const unsigned char> bytes) {
  const auto digest = Sha256(bytes);
  if (!digest) return {};
  std::string hex;
  for (unsigned char b : *digest) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

bool ImageMatchesRecordedDigest(const os::ResourceModule& module, const char* name,
                                std::span<const unsigned char> image) {
  if (name == nullptr) return false;
  const auto recorded = module.Find(name, kDigestResourceType);
  if (!recorded) return false;
  const std::string computed = Sha256Hex(image);
  return computed.size() == 64 && recorded->size() == 64 &&
         std::equal(computed.begin(), computed.end(), recorded->begin());
}
