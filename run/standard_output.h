// How the program's text reaches the person watching it.
#pragma once

// On a console every print shows at once, a value and its blank included; to
// a file or a pipe text goes in blocks of 4096 bytes. Stopping the program from
// the console flushes what has been printed before the process ends.
//
// Every print hands its text to the C library in one call (formatted first
// where needed), so that on a console it is one write: a value shows together
// with its blank, and the console is not redrawn character by character.
void prepare_standard_output(void);
