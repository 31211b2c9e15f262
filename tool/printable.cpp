#include "printable.h"

#include <cstddef>

namespace {

// The length of the valid UTF-8 sequence at `s`, or 0 when it is not one (overlong forms and
// surrogates included).
std::size_t SequenceLength(const unsigned char* s, std::size_t left) {
  const unsigned char lead = s[0];
  std::size_t n;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (left < n || s[1] < low || s[1] > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (s[k] < 0x80 || s[k] > 0xBF) return 0;
  }
  return n;
}

void Escape(unsigned char byte, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  switch (byte) {
    case '\n':
      *out += "\\n";
      return;
    case '\r':
      *out += "\\r";
      return;
    case '\t':
      *out += "\\t";
      return;
    default:
      *out += "\\x";
      *out += kHex[byte >> 4];
      *out += kHex[byte & 0xF];
  }
}

}  // namespace

std::string Printable(const std::string& name) {
  const auto* s = reinterpret_cast<const unsigned char*>(name.data());
  const std::size_t size = name.size();
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size;) {
    if (s[i] >= 0x20 && s[i] < 0x7F) {
      out += static_cast<char>(s[i++]);
      continue;
    }
    const std::size_t n = s[i] < 0x80 ? 0 : SequenceLength(s + i, size - i);
    // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
    if (n == 0 || (n == 2 && s[i] == 0xC2 && s[i + 1] < 0xA0)) {
      for (std::size_t k = 0; k < (n == 0 ? 1 : n); ++k) Escape(s[i + k], &out);
      i += n == 0 ? 1 : n;
      continue;
    }
    out.append(name, i, n);
    i += n;
  }
  return out;
}

std::string Quoted(const std::string& name) {
  const std::string shown = Printable(name);
  if (!name.empty() && shown == name && name.find_first_of(" :'\"\\") == std::string::npos) {
    return shown;
  }
  std::string quoted = "'";
  for (char c : shown) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}
