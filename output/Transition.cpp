#include "output/Transition.h"

#include <cmath>

#include "output/Geometry.h"

namespace {
// The curve's pi, to the digits the fade has always used.
constexpr double kPi = 3.14159265358979;
}  // namespace

int32_t FadeStepOpacity(int32_t step, int32_t steps) {
    if (steps <= 0) return 100;
    const double x = kPi * step / steps;
    const double opacity = (1.0 - std::cos(x)) / 2.0 * 100.0;
    return RoundHalfEven(opacity).value_or(100);
}

std::optional<int32_t> FadePauseMs(int32_t frameRate) {
    if (frameRate == 0) return std::nullopt;
    if (frameRate < 0) return 0;
    return RoundHalfEven(1000.0 / (2.0 * frameRate));
}
