#include "reference_patches.h"

#include <algorithm>

namespace simspectro {
namespace {

const char* const kAngleNames[kAngleCount] = {"45as-15", "45as45", "45as110"};

// Near the specular direction a surface looks a little lighter, far from it a
// little darker: reflectance = base * gain + offset at each geometry.
const float kAngleGain[kAngleCount] = {1.06f, 1.00f, 0.95f};
const float kAngleOffset[kAngleCount] = {0.006f, 0.0f, 0.0f};

struct Patch {
  const char* name;
  float base[kWavelengthCount];  // at 45as45, 400..700 nm
};

const Patch kPatches[kPatchCount] = {
    {"White",
     {0.862f, 0.874f, 0.883f, 0.889f, 0.893f, 0.896f, 0.898f, 0.899f,
      0.900f, 0.901f, 0.902f, 0.903f, 0.903f, 0.904f, 0.904f, 0.905f,
      0.905f, 0.905f, 0.906f, 0.906f, 0.906f, 0.907f, 0.907f, 0.907f,
      0.907f, 0.908f, 0.908f, 0.908f, 0.908f, 0.909f, 0.909f}},
    {"Black",
     {0.0048f, 0.0046f, 0.0044f, 0.0043f, 0.0042f, 0.0041f, 0.0040f, 0.0040f,
      0.0039f, 0.0039f, 0.0038f, 0.0038f, 0.0038f, 0.0037f, 0.0037f, 0.0037f,
      0.0037f, 0.0036f, 0.0036f, 0.0036f, 0.0036f, 0.0036f, 0.0035f, 0.0035f,
      0.0035f, 0.0035f, 0.0035f, 0.0035f, 0.0035f, 0.0035f, 0.0035f}},
    {"Red",
     {0.082f, 0.076f, 0.068f, 0.061f, 0.056f, 0.052f, 0.049f, 0.047f,
      0.045f, 0.044f, 0.043f, 0.043f, 0.043f, 0.044f, 0.045f, 0.048f,
      0.053f, 0.066f, 0.108f, 0.205f, 0.352f, 0.501f, 0.612f, 0.679f,
      0.716f, 0.737f, 0.749f, 0.757f, 0.762f, 0.766f, 0.769f}},
    {"Green",
     {0.062f, 0.064f, 0.067f, 0.072f, 0.081f, 0.098f, 0.128f, 0.176f,
      0.238f, 0.298f, 0.345f, 0.375f, 0.388f, 0.384f, 0.364f, 0.331f,
      0.288f, 0.240f, 0.192f, 0.150f, 0.118f, 0.096f, 0.083f, 0.076f,
      0.072f, 0.071f, 0.072f, 0.075f, 0.081f, 0.090f, 0.103f}},
    {"Blue",
     {0.352f, 0.398f, 0.432f, 0.452f, 0.461f, 0.458f, 0.443f, 0.416f,
      0.376f, 0.326f, 0.270f, 0.214f, 0.164f, 0.124f, 0.095f, 0.076f,
      0.064f, 0.057f, 0.053f, 0.051f, 0.050f, 0.050f, 0.051f, 0.053f,
      0.057f, 0.064f, 0.076f, 0.094f, 0.119f, 0.150f, 0.186f}},
    {"Yellow",
     {0.062f, 0.060f, 0.059f, 0.060f, 0.063f, 0.069f, 0.082f, 0.108f,
      0.158f, 0.245f, 0.372f, 0.515f, 0.642f, 0.732f, 0.787f, 0.818f,
      0.836f, 0.846f, 0.852f, 0.856f, 0.859f, 0.861f, 0.863f, 0.864f,
      0.865f, 0.866f, 0.867f, 0.867f, 0.868f, 0.868f, 0.869f}},
};

}  // namespace

const char* AngleName(int angle) { return kAngleNames[angle]; }

const char* PatchName(int patch) { return kPatches[patch].name; }

float Reflectance(int patch, int angle, int wavelength) {
  const float value =
      kPatches[patch].base[wavelength] * kAngleGain[angle] + kAngleOffset[angle];
  return std::clamp(value, 0.0f, 1.0f);
}

}  // namespace simspectro
