// Force-included into every source file (see CMakeLists.txt) so the module
// loads on glibc releases older than the one it is built on.
//
// glibc 2.35 gave hypotf a new symbol version when it dropped the old
// error-reporting wrapper; both versions compute the same value, so binding
// to the first one changes no result and keeps the module's newest glibc
// requirement at powf@GLIBC_2.27 (powf is not rebound: its older version has
// a different implementation on the glibc releases that predate 2.27).
#pragma once
#if defined(__linux__) && defined(__x86_64__)
#include <features.h>
#if defined(__GLIBC__)
__asm__(".symver hypotf,hypotf@GLIBC_2.2.5");
#endif
#endif
