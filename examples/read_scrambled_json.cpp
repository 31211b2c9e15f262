// SPDX-License-Identifier: MIT
// Reads a JSON file that xorscramble scrambled and parses it: what a program that keeps its data
// scrambled on disk does when it starts.
//
//   read_scrambled_json FILE

#include <errno.h>
#include <string.h>

#include <cstdio>
#include <memory>

#include <xorcodec/xor_codec.h>
#include <nlohmann/json.hpp>

#include "weather.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: read_scrambled_json FILE\n");
    return 2;
  }
  uint32_t size = 0;
  const std::unique_ptr<char[]> text(XorCodec::Instance().GetCryptoDataFromFile(argv[1], &size));
  if (!text) {
    std::fprintf(stderr, "read_scrambled_json: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  // The length, not the terminator, ends the content.
  const auto doc = nlohmann::json::parse(text.get(), text.get() + size, nullptr, false);
  if (doc.is_discarded()) {
    std::fprintf(stderr, "read_scrambled_json: %s: not JSON once restored\n", argv[1]);
    return 1;
  }
  return PrintStation(doc, "read_scrambled_json", argv[1]) ? 0 : 1;
}
