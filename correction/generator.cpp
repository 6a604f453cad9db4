#include "correction/generator.h"

std::uint32_t ditherState = kDitherSeed;
