// Where decoded audio lies in the stream: sample positions by counting, the
// labels (packet timestamps) that say where a seek has landed, and what the
// labels of this stream are worth.
#ifndef MELVOR_TIMELINE_H
#define MELVOR_TIMELINE_H

#include <array>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

namespace melvor {

// A packet's label with the index of the first sample decoded from it.
struct mark {
  int64_t label;
  int64_t index;
};

// How the labels of one stream map to sample indices, learned from packets
// whose samples were placed by counting. Labels are exact in most
// containers; others round them to coarse ticks, or add up rounded
// durations; a label that cannot be mapped exactly maps to -1.
class label_model {
 public:
  void reset(AVRational time_base, int rate);

  // Packet `serial`, labelled `label`, begins at sample `index`. The
  // stream's first packet (shortened by the codec's priming) teaches
  // nothing about the others.
  void observe(uint64_t serial, int64_t label, int64_t index, bool stream_first);
  // The next packet does not follow on from the last one observed.
  void break_run() { last_valid_ = false; }

  // The index at which a packet labelled `label` begins, or -1.
  int64_t index_of(int64_t label) const;
  // Whether enough packets have been seen for index_of to answer.
  bool primed() const { return pairs_ >= 2 && !marks_.empty(); }
  // Where the stream's first packet begins; -1 until it has been decoded.
  int64_t first_index() const { return first_index_; }
  // Where the stream's second packet begins; -1 until it has been decoded.
  int64_t second_index() const { return second_index_; }
  // The samples of every packet but the first (and the last), when they are
  // all the same; else 0.
  int64_t packet_samples() const { return pairs_ > 0 && !count_steps_vary_ ? count_step_ : 0; }
  // The label step between packets, when all are the same; else 0.
  int64_t label_step() const { return pairs_ > 0 && !label_steps_vary_ ? label_step_ : 0; }
  // The largest number of samples one packet has given.
  int64_t largest_packet() const { return largest_packet_; }

 private:
  void keep_mark(int64_t label, int64_t index);

  AVRational time_base_{0, 1};
  int rate_ = 0;
  std::vector<mark> marks_;  // sorted by label, thinned
  int64_t first_index_ = -1;
  int64_t second_index_ = -1;

  // The packet observed last, to pair with the next one.
  bool last_valid_ = false;
  bool last_first_ = false;
  uint64_t last_serial_ = 0;
  int64_t last_label_ = 0;
  int64_t last_index_ = 0;

  // What consecutive packets have shown.
  int pairs_ = 0;
  int64_t label_step_ = 0;       // the label step, while all are equal
  bool label_steps_vary_ = false;
  int64_t count_step_ = 0;       // the samples per packet, while all are equal
  bool count_steps_vary_ = false;
  int64_t grid_ = 0;             // greatest common divisor of the packets' samples
  int64_t largest_packet_ = 0;

  // What every packet has shown: its index less its label in samples.
  bool labels_whole_ = true;  // every label was a whole number of samples
  int64_t lowest_offset_ = 0;
  int64_t highest_offset_ = 0;
  bool has_offsets_ = false;
};

// What the decode loop remembers of a packet it sent: the codec copies the
// packet's opaque value (its serial) to every frame made from it.
struct sent_packet {
  uint64_t serial = 0;
  int64_t label = 0;
  bool labelled = false;
  bool placed = false;  // a frame made from it has been placed
};

// How the next frame is placed.
enum class placement {
  stream_start,  // the stream's first frame: where its timestamp says
  anchoring,     // after a seek: frames before the anchor packet settle the codec
  counting,      // where the last one ended, unless audio is missing
};

struct timeline {
  placement mode = placement::stream_start;

  // The anchor of a seek: the first packet whose frames are kept, and the
  // index of its first sample.
  uint64_t anchor_serial = 0;
  int64_t anchor_index = 0;

  // What the decode has seen since it began (at the open or a seek). The
  // same decode from the same point must place its frames the same way, so
  // nothing seen before carries over.
  struct run_facts {
    // Missing audio shows as a timestamp that runs ahead of the count by
    // more than the timestamps' own unsteadiness.
    bool has_reference = false;
    int64_t reference_offset = 0;  // timestamp minus index, of the last frame
    int64_t jitter = 0;            // largest change of that offset so far
    int64_t largest_frame = 0;     // of the frames placed so far
    int64_t frame_grid = 0;        // their greatest common divisor, the stream's first left out
    bool loss_noted = false;       // the codec or the demuxer dropped audio
    // Placed frames teach the labels, unless a call has failed: its frames
    // may then lie where no other decode puts them.
    bool learning = true;
  } run;

  uint64_t next_serial = 1;
  std::array<sent_packet, 64> sent{};

  label_model labels;

  // For a new file: nothing learned yet.
  void reset(AVRational time_base, int rate);
  // Decoding begins again: at the stream's start, or at an anchor packet.
  void begin(placement how, uint64_t serial = 0, int64_t index = 0);

  // Records a packet about to be sent; returns its serial.
  uint64_t record(int64_t label, bool labelled);
  // The record of a serial still in the ring, or null.
  sent_packet *find(uint64_t serial);
};

}  // namespace melvor

#endif  // MELVOR_TIMELINE_H
