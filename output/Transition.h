#pragma once
// The timing of the sinusoidal fade: how opaque each step draws the new frame
// and how long the output pauses after it.
#include <cstdint>
#include <optional>

// Opacity in percent (0..100) of fade step `step` (1..steps): the raised
// cosine (1 - cos(pi * step / steps)) / 2, rounded halves to even.
int32_t FadeStepOpacity(int32_t step, int32_t steps);

// Pause after each fade step: round(1000 / (2 * frameRate)) ms. A negative
// rate pauses 0 ms instead of waiting almost forever; a rate of 0 has no
// pause at all and answers nullopt (the caller treats it as an error).
std::optional<int32_t> FadePauseMs(int32_t frameRate);
