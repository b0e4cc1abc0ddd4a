#pragma once

// The material the benches time where the last stage works hardest, made from fixed seeds so that
// every machine times the same samples: interleaved stereo, scaled to the peak each kind has.
//
// pink    stereo pink noise (white noise through Paul Kellet's three-pole filter), the two
//         channels independent, its larger peak at -6 dBFS;
// treble  a treble-rich piece: an A major chord with a 5.5 Hz vibrato, a bass line of four
//         notes with their overtones, a steady 9 kHz tone and white noise about 40 dB down,
//         mixed differently into the two channels, its peak at -3 dBFS.

#include <string>
#include <vector>

// Full scale is 1. False for a kind other than "pink" or "treble".
bool benchMaterial(const std::string& kind, int rate, long frames, std::vector<double>& samples);
