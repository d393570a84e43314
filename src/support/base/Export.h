// Marks what the library exports. Building the shared library (or the static component archives
// that it is made of) exports; a host including the headers imports, unless it links the static
// components itself (QUILLON_STATIC), as the tests and tools do.
#pragma once

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(QUILLON_BUILDING_LIBRARY)
#define QUILLON_API __declspec(dllexport)
#elif defined(QUILLON_STATIC)
#define QUILLON_API
#else
#define QUILLON_API __declspec(dllimport)
#endif
#else
#define QUILLON_API __attribute__((visibility("default")))
#endif

// Marks a nested part of an exported class that must stay inside: a member class of an exported
// class is exported with it otherwise. Windows exports only what is marked, so there it needs nothing.
#if defined(_WIN32) || defined(__CYGWIN__)
#define QUILLON_LOCAL
#else
#define QUILLON_LOCAL __attribute__((visibility("hidden")))
#endif
