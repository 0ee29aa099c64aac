// SPDX-License-Identifier: GPL-2.0-or-later
// The C++ headers' configuration for the uClibc box build: the compiler's own
// (configured for GNU libc), less what the boxes' uClibc does not have: wide
// characters, the C99 floating-point and wide-character library calls,
// tmpnam, quick_exit, aligned_alloc and timespec_get. The installer uses
// none of them; the headers then do not name them either.
#include_next <bits/c++config.h>

#undef _GLIBCXX_USE_WCHAR_T
#undef _GLIBCXX_HAVE_WCHAR_H
#undef _GLIBCXX_HAVE_WCTYPE_H
#undef _GLIBCXX_HAVE_MBSTATE_T
#undef _GLIBCXX_HAVE_UCHAR_H
#undef _GLIBCXX_USE_C11_UCHAR_CXX11
#undef _GLIBCXX_USE_C99_MATH
#undef _GLIBCXX_USE_C99_COMPLEX
#undef _GLIBCXX_USE_C99_STDLIB
#undef _GLIBCXX_USE_C99_WCHAR
#undef _GLIBCXX_HAVE_STRTOF
#undef _GLIBCXX_USE_TMPNAM
#undef _GLIBCXX_HAVE_QUICK_EXIT
#undef _GLIBCXX_HAVE_AT_QUICK_EXIT
#undef _GLIBCXX_HAVE_ALIGNED_ALLOC
#undef _GLIBCXX_HAVE_TIMESPEC_GET
