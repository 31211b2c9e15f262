// SPDX-License-Identifier: MIT
/* The floor for `xorscramble --version`: the least a C program can do to print a line. */
#include <stdio.h>

int main(void) { return puts("xorscramble 1.0.0") < 0; }
