// SPDX-License-Identifier: MIT
#include "key_schedule.h"

#include <algorithm>
#include <cstring>

// On x86 with glibc the kernel is built twice, for AVX2 and for the baseline, and the first call
// picks the one the processor runs (in-cache transforms are much faster with AVX2). The choice
// reads what glibc learned of the processor when the program started, rather than asking it again
// as GCC's target_clones do: cpuid traps to the host in a virtual machine, and so costs more than
// the rest of a run on a small file (bench/README.md).
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && defined(__GLIBC__) && \
    __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define XORCODEC_AVX2_VERSION 1
#else
#define XORCODEC_AVX2_VERSION 0
#endif

namespace xorcodec::detail {
namespace {

void LowBytes(const int32_t* key, std::size_t n, unsigned char* out) {
  for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<unsigned char>(key[k] & 0xFF);
}

#ifdef __GNUC__
#define XORCODEC_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define XORCODEC_ALWAYS_INLINE inline
#endif

// Kept as a plain loop: compilers turn it into full-width vector code for the target.
XORCODEC_ALWAYS_INLINE void XorLoop(unsigned char* data, const unsigned char* pattern,
                                    std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) data[k] ^= pattern[k];
}

#if XORCODEC_AVX2_VERSION
__attribute__((target("avx2"))) void XorAvx2(unsigned char* data, const unsigned char* pattern,
                                             std::size_t n) {
  XorLoop(data, pattern, n);
}

void XorBaseline(unsigned char* data, const unsigned char* pattern, std::size_t n) {
  XorLoop(data, pattern, n);
}
#endif

}  // namespace

void XorBytes(unsigned char* data, const unsigned char* pattern, std::size_t n) {
#if XORCODEC_AVX2_VERSION
  static const auto kernel = CPU_FEATURE_ACTIVE(AVX2) ? XorAvx2 : XorBaseline;
  kernel(data, pattern, n);
#else
  XorLoop(data, pattern, n);
#endif
}

KeySchedule::KeySchedule(const int32_t* key, int32_t keyLen, std::size_t expected, uint64_t start)
    : key_(key), keyLen_(static_cast<std::size_t>(keyLen)), period_(0) {
  // Lay out only as much of the key as the stream can use: a short string needs no 4 KiB window,
  // and an empty stream needs no key at all.
  const std::size_t span = std::min(expected, kWindow);
  if (keyLen_ <= span) {
    period_ = (span + keyLen_ - 1) / keyLen_ * keyLen_;
    LowBytes(key_, keyLen_, window_);
    // Doubling copies: a few memcpy calls instead of one pass per repetition of the key.
    for (std::size_t laid = keyLen_; laid < period_; laid *= 2) {
      std::memcpy(window_ + laid, window_, std::min(laid, period_ - laid));
    }
  }
  // The window repeats the key whole, so that the stream's position modulo its length gives the
  // phase in it as well as in the key; the remainder is taken on 64 bits.
  phase_ = static_cast<std::size_t>(start % (period_ != 0 ? period_ : keyLen_));
}

void KeySchedule::Apply(unsigned char* data, std::size_t n) {
  while (n > 0) {
    std::size_t run;
    if (period_ != 0) {
      run = std::min(n, period_ - phase_);
      XorBytes(data, window_ + phase_, run);
      phase_ = (phase_ + run) % period_;
    } else {
      run = std::min({n, kWindow, keyLen_ - phase_});
      LowBytes(key_ + phase_, run, window_);
      XorBytes(data, window_, run);
      phase_ = (phase_ + run) % keyLen_;
    }
    data += run;
    n -= run;
  }
}

}  // namespace xorcodec::detail
