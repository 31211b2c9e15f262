// SPDX-License-Identifier: MIT
// The repeating-key schedule and the XOR kernel that every transform of the codec goes through.

#ifndef XORCODEC_KEY_SCHEDULE_H_
#define XORCODEC_KEY_SCHEDULE_H_

#include <stdint.h>

#include <cstddef>

namespace xorcodec::detail {

// data[k] ^= pattern[k] for k < n.
void XorBytes(unsigned char* data, const unsigned char* pattern, std::size_t n);

// Byte i of a stream is XORed with the low eight bits of key[i % keyLen], i counting from 0 at the
// stream's first byte. Apply() takes the stream in consecutive pieces of any size, from byte
// `start` on. The key must hold keyLen >= 1 elements and outlive the schedule.
class KeySchedule {
 public:
  // `expected` is the length to be transformed, or an estimate: it only bounds the set-up work.
  KeySchedule(const int32_t* key, int32_t keyLen, std::size_t expected, uint64_t start = 0);

  void Apply(unsigned char* data, std::size_t n);

 private:
  // The key's low bytes are laid out repeatedly in window_ so that the kernel always sees a plain
  // run of pattern bytes. A key longer than the window is copied into it piece by piece instead.
  static constexpr std::size_t kWindow = 4096;

  const int32_t* key_;
  std::size_t keyLen_;
  std::size_t period_;  // repeating bytes held in window_, a multiple of keyLen_; 0 for a long key
  std::size_t phase_ = 0;  // stream position modulo period_ (or keyLen_ for a long key)
  unsigned char window_[2 * kWindow];
};

}  // namespace xorcodec::detail

#endif  // XORCODEC_KEY_SCHEDULE_H_
