// Where the program's threads run.
#pragma once

namespace platform {

// Keeps the calling thread, and every thread it starts from now on, on the
// CPU it runs on now.  For work made of hand-offs between threads that each
// run a few microseconds (a reply parsed on one thread wakes the worker that
// sends the next block): on one CPU a hand-off is a switch, on two it wakes
// an idle CPU, which costs more than the work (on a virtual machine several
// times more).  The system still shares that CPU fairly with other programs.
// false where the system cannot do it (nothing changes then).
bool KeepThreadsOnOneCpu();

}  // namespace platform
