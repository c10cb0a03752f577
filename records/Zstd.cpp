#include "records/Zstd.h"

#include <zstd.h>

#include <memory>

namespace qv::records {

namespace {

// Level 3 (zstd's own default) takes a whole unit's transcript (293 KB) to
// a sixth in about a millisecond; level 6 saves 4 % more for four times
// the time, which a record written in under 5 ms cannot spare.
constexpr int kLevel = 3;
// A whole run of units with every byte traced stays far below this; a
// frame that claims more is damaged.
constexpr unsigned long long kMaxBytes = 256ull << 20;

struct TContexts {
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> C{ZSTD_createCCtx(), ZSTD_freeCCtx};
  std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> D{ZSTD_createDCtx(), ZSTD_freeDCtx};
};

// A context a thread, kept: creating one costs more than a transcript.
TContexts& Contexts() {
  thread_local TContexts contexts;
  return contexts;
}

}  // namespace

std::string Compress(const std::string& bytes) {
  std::string frame(ZSTD_compressBound(bytes.size()), '\0');
  const size_t n =
      ZSTD_compressCCtx(Contexts().C.get(), frame.data(), frame.size(), bytes.data(), bytes.size(), kLevel);
  // Only a bound too small fails, and compressBound is not.
  frame.resize(ZSTD_isError(n) ? 0 : n);
  return frame;
}

bool Decompress(const std::string& frame, std::string& out) {
  if (ZSTD_findFrameCompressedSize(frame.data(), frame.size()) != frame.size()) return false;
  const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size > kMaxBytes) return false;
  std::string bytes(static_cast<size_t>(size), '\0');
  const size_t n = ZSTD_decompressDCtx(Contexts().D.get(), bytes.data(), bytes.size(), frame.data(), frame.size());
  if (ZSTD_isError(n) || n != bytes.size()) return false;
  out = std::move(bytes);
  return true;
}

}  // namespace qv::records
