#include "platform/wide_vectors.h"

bool processorRunsWideVectorCode() {
#if LOMVERA_HAS_WIDE_VECTOR_CODE
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

bool wideVectorsInUse = processorRunsWideVectorCode();
