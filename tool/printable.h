// SPDX-License-Identifier: MIT
// File names as they may appear in a message: one line that cannot drive the terminal, and that a
// shell takes back as the name.

#ifndef XORSCRAMBLE_PRINTABLE_H_
#define XORSCRAMBLE_PRINTABLE_H_

#include <string>

// `name` with every byte that a terminal would act on shown as an escape: \n, \r, \t, and \xHH
// for other control characters (C0, DEL and the UTF-8 encoded C1 range) and for bytes that are not
// valid UTF-8. Printable text, non-ASCII letters included, is left as it is.
std::string Printable(const std::string& name);

// `name` as a shell would take it back, where it could be misread in a message: in single quotes
// when it holds a space, a colon or a character a shell would act on; with a single quote as \'
// and every byte that Printable escapes as $'\n' or $'\xHH' outside the quotes, as coreutils
// shows names ('new'$'\n''line'). Plain names stay bare.
std::string Quoted(const std::string& name);

#endif  // XORSCRAMBLE_PRINTABLE_H_
