// File names as they may appear in a message: one line that cannot drive the terminal.

#ifndef XORSCRAMBLE_PRINTABLE_H_
#define XORSCRAMBLE_PRINTABLE_H_

#include <string>

// `name` with every byte that a terminal would act on shown as an escape: \n, \r, \t, and \xHH
// for other control characters (C0, DEL and the UTF-8 encoded C1 range) and for bytes that are not
// valid UTF-8. Printable text, non-ASCII letters included, is left as it is.
std::string Printable(const std::string& name);

// `name` as Printable shows it, put in single quotes where it could be misread in a message: when
// it holds a space, a colon, a quote, a backslash or a byte shown as an escape. A single quote in
// it is written '\'' as a shell takes it, as coreutils shows names. Plain names stay bare.
std::string Quoted(const std::string& name);

#endif  // XORSCRAMBLE_PRINTABLE_H_
