#pragma once

// The rounding generator: a linear congruential generator whose draws decide
// whether each half correction is rounded up or down.

#include <cstdint>

// Its state starts at kDitherSeed and is never reset, so its sequence runs on
// from file to file within one run.
constexpr std::uint32_t kDitherSeed = 0x146439F5;
constexpr std::uint32_t kDitherMultiplier = 0x6A5DB9EF;
constexpr std::uint32_t kDitherIncrement = 0x3199A77F;
extern std::uint32_t ditherState;

// A half correction is a table entry's magnitude / 512 in whole levels: the
// whole part is kept, and the remainder rounds it up when it exceeds the
// draw's threshold, bits 5 to 13 of the state. Only those bits count, and the
// low 16 bits of a state follow from the low 16 bits of the one before, so
// the kernels may work out draws in 16 bits.
constexpr unsigned kWholeLevelShift = 9;
constexpr unsigned kRemainderBits = 511;
constexpr unsigned kThresholdShift = 5;
constexpr unsigned thresholdOf(std::uint32_t state) { return (state >> kThresholdShift) & kRemainderBits; }
// The kernels round with one addition and one shift: adding the threshold's
// complement, kRemainderBits - threshold, to the magnitude carries into the
// whole part exactly when the remainder exceeds the threshold. That
// complement is the threshold of the complemented state, so the kernels may
// keep complemented states and never work out the threshold itself.
constexpr unsigned roundingOffsetOf(std::uint32_t state) { return thresholdOf(~state); }
inline unsigned halfLevelsWithOffset(unsigned magnitude, unsigned offset) {
  return (magnitude + offset) >> kWholeLevelShift;
}
inline unsigned halfLevels(unsigned magnitude, unsigned threshold) {
  return halfLevelsWithOffset(magnitude, kRemainderBits - threshold);
}
// The same in 16 bits, in which the kernels work them out: from the low 16
// bits of a state, and for magnitudes whose sum with an offset fits 16 bits,
// those below 2^16 - kRemainderBits.
constexpr std::uint16_t roundingOffsetOfLowState(std::uint16_t state) {
  return static_cast<std::uint16_t>((static_cast<std::uint16_t>(~state) >> kThresholdShift) & kRemainderBits);
}
inline std::uint16_t halfLevelsIn16Bits(std::uint16_t magnitude, std::uint16_t offset) {
  return static_cast<std::uint16_t>(static_cast<std::uint16_t>(magnitude + offset) >> kWholeLevelShift);
}

// Jumping instead of stepping. One step is the affine map
// s -> kDitherMultiplier * s + kDitherIncrement of the integers modulo 2^32.
// Following the map (m, i) by (m', i') gives s -> m' * (m * s + i) + i' =
// (m' * m) * s + (m' * i + i'), again affine, and the arithmetic modulo 2^32
// is exact, so n steps are one map (M, I) and applying it lands on the very
// state that n steps reach. generatorJump builds (M, I) from the maps of 1,
// 2, 4, ... steps, each the previous one followed by itself, composing those
// of n's set bits. Taking everything modulo 2^16 instead keeps the low 16
// bits exact, since they depend on nothing above them; the thresholds use
// bits 5 to 13 only, so 16-bit jumps from 16-bit states give the same draws.
// generatorJump is a constant expression, so that the kernels' tables of
// jumps are worked out when the program is built.
struct GeneratorJump {
  std::uint32_t multiplier;
  std::uint32_t increment;
};
constexpr GeneratorJump generatorJump(std::uint64_t steps) {
  GeneratorJump result{1, 0};
  GeneratorJump power{kDitherMultiplier, kDitherIncrement};
  while (steps != 0) {
    if (steps & 1)
      result = {power.multiplier * result.multiplier, power.multiplier * result.increment + power.increment};
    power = {power.multiplier * power.multiplier, power.multiplier * power.increment + power.increment};
    steps >>= 1;
  }
  return result;
}
constexpr std::uint32_t jumpedState(GeneratorJump jump, std::uint32_t state) {
  return jump.multiplier * state + jump.increment;
}

// The draw index. Counted from the state before a file's first draw, each
// pair of lines takes lineLength positions of kDrawsPerPosition draws, one
// pair after the other and the positions in order within a pair, so position
// j of the pair that begins at line x is position (x / 2) * lineLength + j.
// A position's draws round its colour bytes in the order odd red, even red,
// odd green, even green, odd blue, even blue. performShift finds every draw
// as the jump of that many steps from the file's start, so that it can
// correct the positions in the file's row order and on several threads, and
// still round each one with the draw stepping would give it.
constexpr int kDrawsPerPosition = 6;
// The draw that rounds colour byte `byte` (0 blue, 1 green, 2 red) of the
// even (pixel 0) or odd (pixel 1) pixel of position `position`. The alpha
// byte (3) takes none: it gets the last draw before the position.
constexpr std::uint64_t drawOfByte(std::uint64_t position, int pixel, int byte) {
  return kDrawsPerPosition * position + static_cast<std::uint64_t>(byte < 3 ? kDrawsPerPosition - 2 * byte - pixel : 0);
}
