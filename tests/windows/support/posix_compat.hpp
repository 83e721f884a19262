// The few POSIX calls that otherwise portable tests use and MinGW lacks,
// for the Windows test build only (given to those tests with -include).
#pragma once

#include <cstddef>
#include <cstdio>

// Windows has no user ids. 0, as for root on POSIX, tells a test that file
// modes do not keep this user from reading a file (a Windows file mode
// cannot deny its owner reading either).
int geteuid();

// A stream whose contents are handed over in *ptr (malloc'd, NUL
// terminated) and *size when it is closed with fclose, as on POSIX. The
// program must be linked with -Wl,--wrap=fclose.
std::FILE* open_memstream(char** ptr, std::size_t* size);
