/* pyconfig.h for compiling extension modules for 64-bit Windows against
   CPython's stable ABI with clang (zig's x86_64-windows-gnu target) on
   another system. scripts/build-wheels.sh puts it in place of the build
   machine's own pyconfig.h in a copy of CPython's headers. It says only
   what the headers need of the target: Windows, a shared Python imported
   with __declspec(dllimport), and the target's type sizes (LLP64: long is
   32 bits, wchar_t 16). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* Python is python3.dll / python3X.dll: its functions and data come in
   through the import library, data through __imp_ pointers. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_PID_T 4
#define SIZEOF__BOOL 1
#define ALIGNOF_LONG 4
#define ALIGNOF_SIZE_T 8

#define HAVE_SSIZE_T 1
#define HAVE_LONG_LONG 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define WITH_DOC_STRINGS 1

#endif /* Py_CONFIG_H */
