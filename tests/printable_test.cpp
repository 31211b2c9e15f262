// SPDX-License-Identifier: MIT
// How xorscramble shows a file name in a message: escaped where a terminal would act on a byte or
// the byte is not UTF-8, and quoted where the name could be misread, so that a shell reads the
// quoted form back as the name.

#include <stdio.h>
#include <stdlib.h>

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
    // What would split a message or drive the terminal: escaped, outside the quotes.
    {"new\nline\r\ttab", "new\\nline\\r\\ttab", "'new'$'\\n''line'$'\\r\\t''tab'"},
    {"\x1b[2J\x7f", "\\x1b[2J\\x7f", "$'\\x1b''[2J'$'\\x7f'"},
    {"c1\xc2\x85\xc2\x9f", "c1\\xc2\\x85\\xc2\\x9f", "'c1'$'\\xc2\\x85\\xc2\\x9f'"},  // C1
    {"\xc2\xa0nbsp", "\xc2\xa0nbsp", "\xc2\xa0nbsp"},  // U+00A0 is printable
    // Not UTF-8: a stray continuation, a lead without its tail, overlong forms, surrogates, and
    // code points past U+10FFFF.
    {"\x80x", "\\x80x", "$'\\x80''x'"},
    {"\xc3", "\\xc3", "$'\\xc3'"},
    {"\xc0\xaf", "\\xc0\\xaf", "$'\\xc0\\xaf'"},
    {"\xe0\x80\xaf", "\\xe0\\x80\\xaf", "$'\\xe0\\x80\\xaf'"},
    {"\xed\xa0\x80", "\\xed\\xa0\\x80", "$'\\xed\\xa0\\x80'"},
    {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", "$'\\xf4\\x90\\x80\\x80'"},
    // Plain bytes that could be misread, or that a shell would act on: quoted, a quote written as
    // a shell takes it.
    {"my file.json", "my file.json", "'my file.json'"},
    {"we: ird/f", "we: ird/f", "'we: ird/f'"},
    {"a:b", "a:b", "'a:b'"},
    {"$HOME;rm *&", "$HOME;rm *&", "'$HOME;rm *&'"},
    {"'lead", "'lead", "\\''lead'"},
    {"it's", "it's", "'it'\\''s'"},
    {"say \"hi\"", "say \"hi\"", "'say \"hi\"'"},
    {"back\\slash", "back\\slash", "'back\\slash'"},
};

#ifndef _WIN32
// What bash makes of `words`, as the argument of printf %s.
std::string ShellReads(const std::string& words) {
  char script[] = "/tmp/printable_test.XXXXXX";
  const int fd = mkstemp(script);
  if (fd < 0) return "(no script)";
  FILE* out = fdopen(fd, "w");
  fprintf(out, "printf %%s %s", words.c_str());
  fclose(out);
  FILE* shell = popen(("bash " + std::string(script)).c_str(), "r");
  std::string read;
  for (int c; shell != nullptr && (c = fgetc(shell)) != EOF;) read += static_cast<char>(c);
  if (shell != nullptr) pclose(shell);
  remove(script);
  return read;
}
#endif

TEST(Printable, EscapesAndQuotesWhatCouldBeMisread) {
  for (const Shown& c : kNames) {
    SCOPED_TRACE(c.printable);
    EXPECT_EQ(Printable(c.name), c.printable);
    EXPECT_EQ(Quoted(c.name), c.quoted);
#ifndef _WIN32
    EXPECT_EQ(ShellReads(Quoted(c.name)), c.name) << "a shell reads the quoted name back";
#endif
  }
}

}  // namespace
