/* CPython 3.14's configuration header for 64-bit Windows, for building extension modules against
   python314.dll. It replaces the build machine's pyconfig.h in a copy of CPython's public
   headers (platform/windows/gate.py makes that copy); it states only the facts those headers
   need: the platform, the sizes of C types on LLP64, and how the interpreter's API crosses the
   DLL boundary. platform/windows/python_layouts.cpp checks that the structures the module uses
   come out as on Linux. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64)
#error "this pyconfig.h describes 64-bit Windows only"
#endif

/* The platform: the Win32 API (in 64-bit too), native Windows threads. */
#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define NT_THREADS

/* LLP64: long and wchar_t are narrower than on Linux; pointers and size_t are 64-bit. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define SIZEOF_WCHAR_T 2
#define HAVE_WCHAR_H 1
/* Little-endian: WORDS_BIGENDIAN stays undefined. */

/* The interpreter is a DLL: its functions and data are imported with __declspec(dllimport),
   and an extension's PyInit_* is exported with __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#endif /* Py_CONFIG_H */
