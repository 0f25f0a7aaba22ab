#include "services/store/digest.h"

#include <glib.h>


namespace vorn_store {

Digest ComputeDigest(const void* data, size_t size) {
  Digest digest{};
  GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
  const auto* bytes = static_cast<const guchar*>(data);
  // g_checksum_update takes a signed length; feed large inputs in pieces.
  constexpr size_t kPiece = size_t{1} << 30;
  while (size > 0) {
    size_t piece = size < kPiece ? size : kPiece;
    g_checksum_update(checksum, bytes, static_cast<gssize>(piece));
    bytes += piece;
    size -= piece;
  }
  gsize length = digest.size();
  g_checksum_get_digest(checksum, digest.data(), &length);
  g_checksum_free(checksum);
  return digest;
}

}  // namespace vorn_store
