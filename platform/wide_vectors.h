#pragma once

// The pixel loops come in two builds: one for the baseline processor, and
// "wide vector code" for x86-64 processors with AVX2, either the same loops
// compiled for AVX2 or loops written with its instructions. Which of the two runs is
// decided at run time (wideVectorsInUse); both give the same results.
//
// The wide code is left out on Windows, where the compilers cannot be relied
// on to keep 32-byte vectors aligned on the stack.

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define LOMVERA_HAS_WIDE_VECTOR_CODE 1
#define LOMVERA_WIDE_VECTOR_CODE __attribute__((target("avx2")))
#else
#define LOMVERA_HAS_WIDE_VECTOR_CODE 0
#define LOMVERA_WIDE_VECTOR_CODE
#endif

// Loop bodies shared by both builds are inlined into each, so that each is
// compiled for its own processor.
#if defined(__GNUC__)
#define LOMVERA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define LOMVERA_ALWAYS_INLINE inline
#endif

// Whether this processor runs the wide vector code.
bool processorRunsWideVectorCode();

// Whether the wide vector code is used. Starts as processorRunsWideVectorCode()
// says; the tests turn it off to check the baseline code as well. Never set
// it when the processor cannot run the wide code.
extern bool wideVectorsInUse;
