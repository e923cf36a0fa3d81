// The file positions of the frames of a raw elementary stream (MP3, ADTS
// AAC, AC-3 ...), found by FFmpeg's own parser for the codec reading the
// file's bytes, and handed to the demuxer as entries of the stream's index.
// Such streams have no index of their own: FFmpeg reaches a time beyond the
// packets it has read by reading every packet up to it, which takes far
// longer than this. With the entries, it goes straight to the frame it
// needs and labels it as it would have.
#ifndef MELVOR_FRAME_INDEX_H
#define MELVOR_FRAME_INDEX_H

#include <cstdint>
#include <cstdio>
#include <memory>

struct __fmpg_instance__;

namespace melvor {

class frame_index {
 public:
  // Forgets everything: a new file.
  void reset();
  // Whether the selected stream is a raw elementary stream whose frames
  // this index can find: the demuxer splits it with a parser, its first
  // packets lie back to back in the file, and it can seek to a byte.
  static bool serves(const __fmpg_instance__ *instance);

  // Makes sure the stream's index reaches frame `number` (0 is the
  // stream's first), whose frames are `label_step` apart in labels. False
  // when the file's bytes cannot be read as the demuxer read them.
  bool cover(__fmpg_instance__ *instance, int64_t number, int64_t label_step);

 private:
  struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
  };
  static constexpr int64_t kEvery = 16;  // frames between index entries
  int64_t frames_ = 0;                   // frames found so far
  int64_t next_ = -1;                    // file position after the last frame found
  bool at_end_ = false;
  bool failed_ = false;
};

}  // namespace melvor

#endif  // MELVOR_FRAME_INDEX_H
