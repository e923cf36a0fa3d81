// The run-time version check, against FFmpeg libraries that report other
// majors (through the interposed shim this program links first).
#include <melvor.h>

#include <gtest/gtest.h>

#include <string>

#include "stderr_capture.h"
#include "version_shim.h"

namespace {

class VersionMismatch : public ::testing::Test {
 protected:
  void TearDown() override { version_shim_reset(); }
};

const char kInitLine[] =
    "error:fmpg_init: Compiled major ffmpeg version \xE2\x89\x83 runtime major version, not "
    "compatible.\n";

TEST_F(VersionMismatch, OneLibraryGivesOneLineAndNoInstance) {
  version_shim_set_major(SHIM_AVCODEC, 61);
  StderrCapture capture;
  EXPECT_EQ(fmpg_init(), nullptr);
  EXPECT_EQ(capture.text(),
            std::string("error:operator(): FFMPEG AVCodec Major versions not equal. Compile "
                        "time: 62, runtime: 61\n") +
                kInitLine);
}

TEST_F(VersionMismatch, EveryPairIsReportedInOrder) {
  version_shim_set_major(SHIM_AVUTIL, 59);
  version_shim_set_major(SHIM_AVFORMAT, 63);
  StderrCapture capture;
  EXPECT_EQ(fmpg_compatible_ffmpeg(), 0);
  EXPECT_EQ(capture.text(),
            "error:operator(): FFMPEG AVFormat Major versions not equal. Compile time: 62, "
            "runtime: 63\n"
            "error:operator(): FFMPEG AVUtil Major versions not equal. Compile time: 60, "
            "runtime: 59\n");
}

TEST_F(VersionMismatch, AllFourAndEachAttemptReportsAgain) {
  version_shim_set_major(SHIM_AVFORMAT, 1);
  version_shim_set_major(SHIM_AVCODEC, 2);
  version_shim_set_major(SHIM_SWRESAMPLE, 3);
  version_shim_set_major(SHIM_AVUTIL, 4);
  const std::string lines =
      "error:operator(): FFMPEG AVFormat Major versions not equal. Compile time: 62, runtime: 1\n"
      "error:operator(): FFMPEG AVCodec Major versions not equal. Compile time: 62, runtime: 2\n"
      "error:operator(): FFMPEG SWResample Major versions not equal. Compile time: 6, runtime: "
      "3\n"
      "error:operator(): FFMPEG AVUtil Major versions not equal. Compile time: 60, runtime: 4\n";
  StderrCapture capture;
  EXPECT_EQ(fmpg_init(), nullptr);
  EXPECT_EQ(fmpg_init(), nullptr);
  EXPECT_EQ(capture.text(), lines + kInitLine + lines + kInitLine);
}

TEST_F(VersionMismatch, MatchingMajorsPassThrough) {
  // The shim forwards to the real libraries when nothing is faked.
  StderrCapture capture;
  fmpg_instance *h = fmpg_init();
  EXPECT_NE(h, nullptr);
  EXPECT_EQ(capture.text(), "");
  fmpg_free(h);
}

}  // namespace
