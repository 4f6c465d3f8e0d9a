// The terminal of a command-line program: its width, whether it understands
// the escape codes that redraw a line, and the user's request to stop.
#pragma once

namespace platform {

// Columns of the terminal that standard output writes to; 0 when it is not
// a terminal or does not say.
int ConsoleColumns();

// true when standard output is a terminal that understands the escape codes
// of a live line (cursor to column 1, erase line); where it can, this
// switches that understanding on.
bool ConsoleHasEscapes();

// Has `handler` called with SIGINT when the user presses Ctrl-C (SIGTERM
// when the program is asked to end); the handler only records the request.
// A reader of the output that goes away does not end the program: writing
// just fails from then on.
void OnInterrupt(void (*handler)(int signal));

}  // namespace platform
