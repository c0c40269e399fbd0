// The simulated instrument's optics: its wavelengths and measuring
// geometries, and the reflectance of the reference patches it can measure.
#pragma once

namespace simspectro {

// 31 wavelengths, 400 to 700 nm in 10 nm steps.
constexpr int kWavelengthCount = 31;
constexpr int kFirstWavelengthNm = 400;
constexpr int kWavelengthStepNm = 10;

// Three geometries: 45° illumination, viewed at -15°, 45° and 110° from the
// specular direction.
constexpr int kAngleCount = 3;
const char* AngleName(int angle);

// White tile, black trap, then the colour patches, in measuring-cycle order.
constexpr int kPatchCount = 6;
const char* PatchName(int patch);

// Reflectance factor (0 to 1) of a patch at a geometry and wavelength index.
// The indices must be in range.
float Reflectance(int patch, int angle, int wavelength);

}  // namespace simspectro
