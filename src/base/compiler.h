// Compiler-specific marks, each with a plain fallback.
//
// LUMO_NOINLINE keeps a function out of its callers: a rare, large path
// stays out of line so that the common path around its call stays small.
// Without a way to say so it is nothing, and the compiler decides.
//
// LUMO_ALWAYS_INLINE (in place of `inline`) has a small function on a hot
// path inlined wherever it is called, even once a rare path in it (a call
// out of line) has made it look too large to the compiler.
//
// LUMO_EXPORT marks a symbol a shared library exports although the library
// is built with its symbols hidden by default: a DLL's export on Windows,
// default visibility with GCC and Clang elsewhere.
#pragma once

#if defined(__GNUC__)  // GCC and Clang
#define LUMO_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define LUMO_NOINLINE __declspec(noinline)
#else
#define LUMO_NOINLINE
#endif

#if defined(__GNUC__)
#define LUMO_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define LUMO_ALWAYS_INLINE __forceinline
#else
#define LUMO_ALWAYS_INLINE inline
#endif

#if defined(_WIN32)
#define LUMO_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define LUMO_EXPORT __attribute__((visibility("default")))
#else
#define LUMO_EXPORT
#endif
