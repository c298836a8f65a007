/**
 * \file
 * Symbol visibility for the library's public surface.
 *
 * The library is compiled with -fvisibility=hidden; only what carries
 * QZ_EXPORT reaches the dynamic symbol table.
 */
#ifndef QZ_EXPORT_H
#define QZ_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
/// Marks a class, function or variable as part of the library's exported
/// surface (default visibility); empty for other compilers.
#define QZ_EXPORT __attribute__((visibility("default")))
#else
#define QZ_EXPORT
#endif

#endif  // QZ_EXPORT_H
