// Tags read from real files of several containers.
#include <melvor.h>

#include <gtest/gtest.h>

#include <string>

#include "stderr_capture.h"

namespace {

class Tagged : public ::testing::TestWithParam<const char *> {};

// The same tags, written by make-fixtures.sh into each container: FLAC and
// MP4 keep them in the container, Ogg in the audio stream; every format
// files the year under "date".
TEST_P(Tagged, ReadsTheSameTagsInEveryContainer) {
  fmpg_instance *h = fmpg_init();
  ASSERT_NE(h, nullptr);
  {
    StderrCapture quiet;
    ASSERT_EQ(fmpg_open_file(h, fixture(GetParam()).c_str()), 1);
  }
  EXPECT_STREQ(fmpg_file_title(h), "Melvor Tone");
  EXPECT_STREQ(fmpg_file_author(h), "The Testers");
  EXPECT_STREQ(fmpg_file_album(h), "Fixtures");
  EXPECT_STREQ(fmpg_file_genre(h), "Test");
  EXPECT_STREQ(fmpg_file_comment(h), "made by make-fixtures.sh");
  EXPECT_STREQ(fmpg_file_copyright(h), "public domain");
  EXPECT_EQ(fmpg_file_year(h), 2004);  // "2004-05-01"
  EXPECT_EQ(fmpg_file_track(h), 3);    // "3/12"
  EXPECT_GT(fmpg_file_bitrate(h), 0);
  fmpg_free(h);
}

INSTANTIATE_TEST_SUITE_P(Containers, Tagged,
                         ::testing::Values("tone.flac", "tone.mp3", "tone.m4a", "tone.ogg",
                                           "tone.opus"),
                         [](const auto &info) {
                           std::string name = info.param;
                           for (char &ch : name) {
                             if (ch == '.') ch = '_';
                           }
                           return name;
                         });

TEST(Tags, KeysMatchWithoutRegardToCase) {
  fmpg_instance *h = fmpg_init();
  {
    StderrCapture quiet;
    ASSERT_EQ(fmpg_open_file(h, fixture("oddcase.flac").c_str()), 1);
  }
  EXPECT_STREQ(fmpg_file_title(h), "Mixed Case");   // key "Title"
  EXPECT_STREQ(fmpg_file_author(h), "Odd Artist");  // key "aRtIsT"; "author" is not read
  EXPECT_STREQ(fmpg_file_album(h), "");
  EXPECT_EQ(fmpg_file_year(h), 7);   // "YEAR" = "  7", ahead of "date" = "1999"
  EXPECT_EQ(fmpg_file_track(h), 0);  // "abc"
  fmpg_free(h);
}

TEST(Tags, FileWithoutTags) {
  fmpg_instance *h = fmpg_init();
  {
    StderrCapture quiet;
    ASSERT_EQ(fmpg_open_file(h, fixture("notags.wav").c_str()), 1);
  }
  for (auto text : {fmpg_file_title, fmpg_file_author, fmpg_file_album, fmpg_file_genre,
                    fmpg_file_comment, fmpg_file_copyright}) {
    EXPECT_STREQ(text(h), "");
  }
  EXPECT_EQ(fmpg_file_year(h), -1);
  EXPECT_EQ(fmpg_file_track(h), -1);
  // 16-bit mono at 44.1 kHz: the container's bit rate is still reported.
  EXPECT_NEAR(fmpg_file_bitrate(h), 705600, 1000);
  fmpg_close(h);
  EXPECT_EQ(fmpg_file_bitrate(h), -1);
  fmpg_free(h);
}

TEST(Tags, TextsStayValidWhileTheFileIsOpen) {
  fmpg_instance *h = fmpg_init();
  {
    StderrCapture quiet;
    ASSERT_EQ(fmpg_open_file(h, fixture("tone.flac").c_str()), 1);
  }
  const char *title = fmpg_file_title(h);
  EXPECT_EQ(fmpg_open_file(h, fixture("oddcase.flac").c_str()), 0);  // refused
  EXPECT_EQ(fmpg_file_title(h), title);
  EXPECT_STREQ(title, "Melvor Tone");
  fmpg_free(h);
}

}  // namespace
