// How xorscramble shows a file name in a message: escaped where a terminal would act on a byte or
// the byte is not UTF-8, and quoted where the name could be misread.

#include <string>

#include <gtest/gtest.h>

#include "printable.h"

namespace {

struct Shown {
  std::string name;
  std::string printable;  // Printable(name)
  std::string quoted;     // Quoted(name)
};

const Shown kNames[] = {
    {"data.json", "data.json", "data.json"},
    {"dir/sub/data.json", "dir/sub/data.json", "dir/sub/data.json"},
    {"prøve-æøå.json", "prøve-æøå.json", "prøve-æøå.json"},  // letters of any script
    {"日本語.json", "日本語.json", "日本語.json"},
    {"\xF0\x9F\x98\x80.json", "\xF0\x9F\x98\x80.json", "\xF0\x9F\x98\x80.json"},  // 4-byte UTF-8
    {"", "", "''"},
    // What would split a message or drive the terminal.
    {"new\nline\r\ttab", "new\\nline\\r\\ttab", "'new\\nline\\r\\ttab'"},
    {"\x1b[2J\x7f", "\\x1b[2J\\x7f", "'\\x1b[2J\\x7f'"},
    {"c1\xc2\x85\xc2\x9f", "c1\\xc2\\x85\\xc2\\x9f", "'c1\\xc2\\x85\\xc2\\x9f'"},  // C1 controls
    {"\xc2\xa0nbsp", "\xc2\xa0nbsp", "\xc2\xa0nbsp"},  // U+00A0 is printable
    // Not UTF-8: a stray continuation, a lead without its tail, overlong forms, surrogates, and
    // code points past U+10FFFF.
    {"\x80x", "\\x80x", "'\\x80x'"},
    {"\xc3", "\\xc3", "'\\xc3'"},
    {"\xc0\xaf", "\\xc0\\xaf", "'\\xc0\\xaf'"},
    {"\xe0\x80\xaf", "\\xe0\\x80\\xaf", "'\\xe0\\x80\\xaf'"},
    {"\xed\xa0\x80", "\\xed\\xa0\\x80", "'\\xed\\xa0\\x80'"},
    {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", "'\\xf4\\x90\\x80\\x80'"},
    // Plain bytes that could be misread: quoted, a quote written as a shell takes it.
    {"my file.json", "my file.json", "'my file.json'"},
    {"we: ird/f", "we: ird/f", "'we: ird/f'"},
    {"it's", "it's", "'it'\\''s'"},
    {"say \"hi\"", "say \"hi\"", "'say \"hi\"'"},
    {"back\\slash", "back\\slash", "'back\\slash'"},
};

TEST(Printable, EscapesAndQuotesWhatCouldBeMisread) {
  for (const Shown& c : kNames) {
    SCOPED_TRACE(c.printable);
    EXPECT_EQ(Printable(c.name), c.printable);
    EXPECT_EQ(Quoted(c.name), c.quoted);
  }
}

}  // namespace
