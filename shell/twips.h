#pragma once
// Conversion between twips, the unit of the window's design sizes, and pixels
// at a widget's logical resolution. 1440 twips make an inch, so 15 twips make
// a pixel at 96 dots per inch.

#include <cmath>

constexpr float kTwipsPerInch = 1440.0f;

// The length of `pixels` in twips at `dpi` dots per inch.
inline float pixelsToTwips(int pixels, int dpi)
{
    return float(pixels) * kTwipsPerInch / float(dpi);
}

// The length of `twips` in whole pixels at `dpi` dots per inch, rounded to the nearest.
inline int twipsToPixels(float twips, int dpi)
{
    return int(std::lround(twips * float(dpi) / kTwipsPerInch));
}
