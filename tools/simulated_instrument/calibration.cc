#include "calibration.h"

#include "text.h"

namespace simspectro {

const std::vector<std::string>& Calibration::Modes() {
  static const std::vector<std::string> modes = {"Standard", "Quick"};
  return modes;
}

Calibration::Calibration(std::string_view mode) {
  if (EqualsIgnoreCase(mode, "Quick")) {
    steps = {"White"};
  } else {
    steps = {"White", "Black"};
  }
  taken.assign(steps.size(), false);
}

int Calibration::Status() const {
  const int count = StepsTaken();
  if (count == 0) return kNotCalibrated;
  return count == static_cast<int>(steps.size()) ? kCalibrated : kInProgress;
}

int Calibration::Progress() const {
  return StepsTaken() * 100 / static_cast<int>(steps.size());
}

bool Calibration::TakeStep(std::string_view step) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (!EqualsIgnoreCase(steps[i], step)) continue;
    if (Status() == kCalibrated) taken.assign(steps.size(), false);
    taken[i] = true;
    return true;
  }
  return false;
}

void Calibration::TakeAllSteps() { taken.assign(steps.size(), true); }

bool Calibration::Abort() {
  if (Status() != kInProgress) return false;
  taken.assign(steps.size(), false);
  return true;
}

int Calibration::StepsTaken() const {
  int count = 0;
  for (bool done : taken) count += done ? 1 : 0;
  return count;
}

}  // namespace simspectro
