// Labels to sample indices, and the record of packets sent to the codec.
#include "timeline.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

namespace melvor {

namespace {

// label steps in samples: the rational num * rate / den
struct samples_per_tick {
  __int128 num;
  __int128 den;
};

samples_per_tick scale_of(AVRational time_base, int rate) {
  return {static_cast<__int128>(time_base.num) * rate, time_base.den};
}

// Samples in `ticks`, rounded to the nearest (halves away from zero).
int64_t rounded_samples(int64_t ticks, samples_per_tick s) {
  const __int128 product = static_cast<__int128>(ticks) * s.num;
  const __int128 half = s.den / 2;
  const __int128 q = product >= 0 ? (product + half) / s.den : -((-product + half) / s.den);
  return static_cast<int64_t>(q);
}

int64_t floor_divide(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Samples in `ticks` when that is a whole number; else false.
bool exact_samples(int64_t ticks, samples_per_tick s, int64_t &samples) {
  const __int128 product = static_cast<__int128>(ticks) * s.num;
  if (product % s.den != 0) return false;
  samples = static_cast<int64_t>(product / s.den);
  return true;
}

}  // namespace

void label_model::reset(AVRational time_base, int rate) {
  *this = label_model{};
  time_base_ = time_base;
  rate_ = rate;
}

void label_model::keep_mark(int64_t label, int64_t index) {
  // A few marks a second are plenty: between them the labels are mapped by
  // the rules learned, and a gap always leaves a mark of its own.
  const int64_t spacing = std::max<int64_t>(
      1, static_cast<int64_t>(time_base_.den) / (4 * static_cast<int64_t>(time_base_.num)));
  auto at = std::lower_bound(marks_.begin(), marks_.end(), label,
                             [](const mark &m, int64_t l) { return m.label < l; });
  if (at != marks_.end() && at->label == label) return;
  const bool near_before = at != marks_.begin() && label - std::prev(at)->label < spacing;
  const bool near_after = at != marks_.end() && at->label - label < spacing;
  if ((near_before || near_after) && last_valid_) return;
  try {
    marks_.insert(at, mark{label, index});
  } catch (...) {
    // Without memory for the mark, the labels around it map from the others.
  }
}

void label_model::observe(uint64_t serial, int64_t label, int64_t index, bool stream_first) {
  const samples_per_tick scale = scale_of(time_base_, rate_);
  if (stream_first) {
    first_index_ = index;
  } else {
    keep_mark(label, index);
    int64_t whole = 0;
    if (!exact_samples(label, scale, whole)) labels_whole_ = false;
    const int64_t offset = index - rounded_samples(label, scale);
    lowest_offset_ = has_offsets_ ? std::min(lowest_offset_, offset) : offset;
    highest_offset_ = has_offsets_ ? std::max(highest_offset_, offset) : offset;
    has_offsets_ = true;
  }
  if (last_valid_ && last_first_ && serial == last_serial_ + 1) second_index_ = index;
  if (last_valid_ && !last_first_ && serial == last_serial_ + 1) {
    const int64_t label_step = label - last_label_;
    const int64_t count = index - last_index_;
    if (label_step > 0 && count > 0) {
      if (pairs_ == 0) {
        label_step_ = label_step;
        count_step_ = count;
      }
      if (label_step != label_step_) label_steps_vary_ = true;
      if (count != count_step_) count_steps_vary_ = true;
      grid_ = std::gcd(grid_, count);
      largest_packet_ = std::max(largest_packet_, count);
      ++pairs_;
    }
  }
  last_valid_ = true;
  last_first_ = stream_first;
  last_serial_ = serial;
  last_label_ = label;
  last_index_ = index;
}

int64_t label_model::index_of(int64_t label) const {
  if (!primed() || !has_offsets_) return -1;
  auto after = std::upper_bound(marks_.begin(), marks_.end(), label,
                                [](int64_t l, const mark &m) { return l < m.label; });
  const mark &m = after == marks_.begin() ? marks_.front() : *std::prev(after);
  if (label == m.label) return m.index;
  const samples_per_tick scale = scale_of(time_base_, rate_);

  // Labels that count samples exactly, at a fixed distance from the index.
  int64_t samples = 0;
  if (labels_whole_ && lowest_offset_ == highest_offset_ && exact_samples(label, scale, samples)) {
    return samples + lowest_offset_;
  }
  // Durations added up in ticks: a whole number of packets away.
  const int64_t step = label - m.label;
  if (!label_steps_vary_ && !count_steps_vary_ && step % label_step_ == 0) {
    return m.index + step / label_step_ * count_step_;
  }
  // Labels rounded to coarse ticks: the true offset lies within half a tick
  // of every offset seen, and so within reach of the highest and the lowest;
  // the packet boundary is the one point of the packets' grid in that reach.
  if (grid_ <= 0) return -1;
  const int64_t reach =
      std::max<int64_t>(rounded_samples(1, scale) / 2 + 1, (highest_offset_ - lowest_offset_ + 1) / 2);
  const int64_t centre = rounded_samples(label, scale);
  const int64_t low = centre + highest_offset_ - 2 * reach;
  const int64_t high = centre + lowest_offset_ + 2 * reach;
  // The grid's points are m.index + k * grid.
  const int64_t from = m.index + floor_divide(low - m.index + grid_ - 1, grid_) * grid_;
  if (from > high || from + grid_ <= high) return -1;
  return from;
}

void timeline::reset(AVRational time_base, int rate) {
  *this = timeline{};
  labels.reset(time_base, rate);
}

void timeline::begin(placement how, uint64_t serial, int64_t index) {
  mode = how;
  anchor_serial = serial;
  anchor_index = index;
  run = run_facts{};
  labels.break_run();
}

uint64_t timeline::record(int64_t label, bool labelled) {
  const uint64_t serial = next_serial++;
  sent_packet &p = sent[serial % sent.size()];
  p = sent_packet{serial, label, labelled, false};
  return serial;
}

sent_packet *timeline::find(uint64_t serial) {
  sent_packet &p = sent[serial % sent.size()];
  return p.serial == serial && serial != 0 ? &p : nullptr;
}

}  // namespace melvor
