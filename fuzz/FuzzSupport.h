// Shared by the fuzz targets: quiet logging and a check that aborts, so
// that a broken property is reported by libFuzzer as a crash with the input
// that caused it.
#ifndef QZ_FUZZ_SUPPORT_H
#define QZ_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>

#define QZ_FUZZ_CHECK(cond)                                                                  \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

// The library logs every record it packs; at millions of executions a
// second the platform log would be the only thing measured.
inline void QzFuzzQuietLog() { setenv("QZ_PLATFORM_LOG", "none", 1); }

#endif  // QZ_FUZZ_SUPPORT_H
