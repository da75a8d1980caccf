#pragma once
// What the test support does differently on each system (TestPlatform_linux.cpp, _mac.cpp).
#include <sys/stat.h>

#include <ctime>

namespace PelorinTesting::Platform {

// When the file that `info` describes was last modified.
timespec modified(const struct stat& info);
// A TCP socket that does not block and is closed on exec, or -1.
int nonBlockingSocket();
// A connection waiting in the backlog of `listening`, closed on exec, or -1 when none waits.
int acceptClosingOnExec(int listening);

}  // namespace PelorinTesting::Platform
