#include "instrument/spectro.h"
#include "log_test.h"
#include "recording_controls.h"

namespace vdqrn {

TEST(Spectro, LoadsALibraryWithAllEntryPointsAndCallsThrough) {
  RecordingLibrary recording;
  Spectro spectro;
  EXPECT_FALSE(spectro.IsLoaded());
  ASSERT_TRUE(spectro.LoadDriver("recordingspectro"));
  EXPECT_TRUE(spectro.IsLoaded());

  recording.SetInt(-3);
  recording.SetFloat(0.25f);
  recording.SetBool(false);
  EXPECT_FALSE(spectro.SetLanguage(1033));
  EXPECT_EQ(spectro.GetCalProgress(), -3);
  EXPECT_EQ(spectro.GetSampleData(4, 9), 0.25f);
  EXPECT_FALSE(spectro.SetOption("Aperture", "LAV"));
  EXPECT_EQ(recording.Journal(),
            "SetLanguage(1033)\nGetCalProgress()\nGetSampleData(4,9)\nSetOption(Aperture,LAV)\n");
}

TEST(Spectro, RejectsMissingFilesAndIncompleteLibrariesWhole) {
  Spectro spectro;
  EXPECT_FALSE(spectro.LoadDriver("no-such-library"));
  EXPECT_FALSE(spectro.IsLoaded());
  EXPECT_FALSE(spectro.LoadDriver("missingexport"));  // lacks CalibrateStep only
  EXPECT_FALSE(spectro.IsLoaded());
  EXPECT_FALSE(spectro.LoadDriver(""));  // names the file ".so"/".dll", which is absent
}

TEST(Spectro, FailedLoadLeavesNothingLoadedAndReloadWorks) {
  Spectro spectro;
  ASSERT_TRUE(spectro.LoadDriver("recordingspectro"));
  EXPECT_TRUE(spectro.LoadDriver("recordingspectro"));  // same name: freed and loaded again
  EXPECT_FALSE(spectro.LoadDriver("missingexport"));
  EXPECT_FALSE(spectro.IsLoaded());
  spectro.UnloadDriver();  // harmless when nothing is loaded
  EXPECT_FALSE(spectro.IsLoaded());
}

TEST(Spectro, NameTooLongForThePathIsNotTried) {
  Spectro spectro;
  EXPECT_FALSE(spectro.LoadDriver(std::string(300, 'a').c_str()));
  EXPECT_FALSE(spectro.IsLoaded());
}

}  // namespace vdqrn
