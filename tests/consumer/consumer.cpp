// SPDX-License-Identifier: MIT
// Reads back a file that xorscramble wrote and checks it against the plain file:
//   consumer SCRAMBLED PLAIN
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <xorcodec/xor_codec.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  uint32_t size = 0;
  const std::unique_ptr<char[]> plain(XorCodec::Instance().GetCryptoDataFromFile(argv[1], &size));
  if (!plain) {
    perror(argv[1]);
    return 1;
  }
  std::ifstream in(argv[2], std::ios::binary);
  const std::string expected(std::istreambuf_iterator<char>(in), {});
  if (std::string(plain.get(), size) != expected) {
    fprintf(stderr, "consumer: %s does not read back as %s\n", argv[1], argv[2]);
    return 1;
  }
  puts("consumer: read back as expected");
  return 0;
}
