// SPDX-License-Identifier: MIT
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

// Walks `name` in the pieces that Printable tells apart: `text(i, n)` for n bytes of printable
// text at i, `escaped(byte)` for a byte shown as an escape.
template <typename Text, typename Escaped>
void ForEachPiece(const std::string& name, Text text, Escaped escaped) {
  const auto* s = reinterpret_cast<const unsigned char*>(name.data());
  const std::size_t size = name.size();
  for (std::size_t i = 0; i < size;) {
    if (s[i] >= 0x20 && s[i] < 0x7F) {
      text(i++, 1);
      continue;
    }
    const std::size_t n = s[i] < 0x80 ? 0 : SequenceLength(s + i, size - i);
    // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
    if (n == 0 || (n == 2 && s[i] == 0xC2 && s[i + 1] < 0xA0)) {
      for (std::size_t k = 0; k < (n == 0 ? 1 : n); ++k) escaped(s[i + k]);
      i += n == 0 ? 1 : n;
      continue;
    }
    text(i, n);
    i += n;
  }
}

}  // namespace

std::string Printable(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  ForEachPiece(
      name, [&](std::size_t i, std::size_t n) { out.append(name, i, n); },
      [&](unsigned char byte) { Escape(byte, &out); });
  return out;
}

std::string Quoted(const std::string& name) {
  // What a shell would take for something else, and a colon, which would split the message.
  static const char kSpecial[] = " !\"#$&'()*:;<=>?[\\]^`{|}~";
  if (!name.empty() && Printable(name) == name &&
      name.find_first_of(kSpecial) == std::string::npos) {
    return name;
  }
  // Printable text in single quotes, a single quote as \', escaped bytes in $'...': pieces
  // written one after the other, as a shell reads them back into the name.
  enum class Open { kNone, kQuotes, kEscapes } open = Open::kNone;
  std::string out;
  auto enter = [&](Open next) {
    if (open == next) return;
    if (open != Open::kNone) out += '\'';
    if (next != Open::kNone) out += next == Open::kQuotes ? "'" : "$'";
    open = next;
  };
  ForEachPiece(
      name,
      [&](std::size_t i, std::size_t n) {
        if (name[i] == '\'') {
          enter(Open::kNone);
          out += "\\'";
          return;
        }
        enter(Open::kQuotes);
        out.append(name, i, n);
      },
      [&](unsigned char byte) {
        enter(Open::kEscapes);
        Escape(byte, &out);
      });
  enter(Open::kNone);
  return out.empty() ? "''" : out;
}
