// Forced first into every source by scripts/clang-windows.py's MSVC-mode pass, and nowhere else.
//
// The MinGW-w64 headers and libstdc++ were written for GCC and clang in GNU mode. Parsed with
// _MSC_VER defined and __GNUC__ not, as clang does for x86_64-pc-windows-msvc, they trip over
// each other in a few known places; this header mends exactly those, so that what fails in that
// pass is the project's own code:
// - _mingw.h defines __attribute__ away (which breaks clang's own intrinsic headers) and puts
//   __declspec(nothrow), __declspec(noreturn) and deprecation after declarators, where no
//   compiler accepts them;
// - sal.h defines __in and __out as empty macros, which are parameter names in libstdc++;
// - libstdc++ reads the __GCC_ATOMIC_* values that only a GNU-mode compiler predefines.
#pragma once

#include <_mingw.h>
#include <sal.h>

#undef __attribute__
#undef __in
#undef __out
#undef __MINGW_NOTHROW
#define __MINGW_NOTHROW
#undef __MINGW_ATTRIB_NORETURN
#define __MINGW_ATTRIB_NORETURN
#undef __MINGW_ATTRIB_DEPRECATED
#define __MINGW_ATTRIB_DEPRECATED

// x86-64: every one of these is lock-free, as GCC and clang report in GNU mode.
#define __GCC_ATOMIC_BOOL_LOCK_FREE 2
#define __GCC_ATOMIC_CHAR_LOCK_FREE 2
#define __GCC_ATOMIC_CHAR16_T_LOCK_FREE 2
#define __GCC_ATOMIC_CHAR32_T_LOCK_FREE 2
#define __GCC_ATOMIC_WCHAR_T_LOCK_FREE 2
#define __GCC_ATOMIC_SHORT_LOCK_FREE 2
#define __GCC_ATOMIC_INT_LOCK_FREE 2
#define __GCC_ATOMIC_LONG_LOCK_FREE 2
#define __GCC_ATOMIC_LLONG_LOCK_FREE 2
#define __GCC_ATOMIC_POINTER_LOCK_FREE 2
#define __GCC_ATOMIC_TEST_AND_SET_TRUEVAL 1
