// Calibration progress: which steps of the current calibration mode have been
// taken. "Standard" takes a white and a black step, "Quick" the white one only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace simspectro {

class Calibration {
 public:
  // GetCalStatus values.
  static constexpr int kNotCalibrated = 0;
  static constexpr int kInProgress = 1;  // some steps taken, not all
  static constexpr int kCalibrated = 2;

  // The modes, the default first.
  static const std::vector<std::string>& Modes();

  // Starts uncalibrated in a mode named by Modes().
  explicit Calibration(std::string_view mode);

  const std::vector<std::string>& Steps() const { return steps; }
  int Status() const;
  int Progress() const;  // percent of the steps taken

  // Takes a step by name (any case); false when the mode has no such step. A
  // step taken while calibrated starts a new calibration.
  bool TakeStep(std::string_view step);
  void TakeAllSteps();
  // Drops a calibration in progress; false when none is.
  bool Abort();

 private:
  int StepsTaken() const;

  std::vector<std::string> steps;
  std::vector<bool> taken;
};

}  // namespace simspectro
