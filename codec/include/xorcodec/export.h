// SPDX-License-Identifier: MIT
// XORCODEC_API marks the library's public names: a shared build exports those and nothing else
// (it is built with hidden visibility), so that its internals are free to change.

#ifndef XORCODEC_EXPORT_H_
#define XORCODEC_EXPORT_H_

#include <xorcodec/version.h>

// A build that links the library some other way defines XORCODEC_API itself.
#ifndef XORCODEC_API
#if !XORCODEC_SHARED
#define XORCODEC_API
#elif defined(_WIN32)
// CMake defines xorcodec_EXPORTS while it builds the DLL; its users import.
#ifdef xorcodec_EXPORTS
#define XORCODEC_API __declspec(dllexport)
#else
#define XORCODEC_API __declspec(dllimport)
#endif
#else
#define XORCODEC_API __attribute__((visibility("default")))
#endif
#endif  // XORCODEC_API

#endif  // XORCODEC_EXPORT_H_
