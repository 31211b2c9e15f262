// SPDX-License-Identifier: MIT
// Restores a scrambled JSON document held in memory (here compiled in; it could as well come from
// an archive, a socket or mmap) and parses it. The bytes are restored in pieces as they might
// arrive, each at its offset in the stream, and any byte value (0 included) comes back.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>

#include <xorcodec/xor_codec.h>
#include <nlohmann/json.hpp>

#include "embedded_sample.h"  // kScrambledSample, generated from tests/data/sample.json.scrambled
#include "weather.h"

int main() {
  std::string text(reinterpret_cast<const char*>(kScrambledSample), sizeof kScrambledSample);
  constexpr std::size_t kPiece = 64;
  for (std::size_t at = 0; at < text.size(); at += kPiece) {
    XorCodec::Instance().DecodeBuffer(&text[at], std::min(kPiece, text.size() - at),
                                      xorcodec::kBuiltInKey, xorcodec::kBuiltInKeyLen, at);
  }
  const auto doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    std::fprintf(stderr, "decode_embedded: not JSON once restored\n");
    return 1;
  }
  return PrintStation(doc, "decode_embedded", "the embedded sample") ? 0 : 1;
}
