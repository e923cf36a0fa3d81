// Sample width conversion and volume scaling, against an encoding and an
// arithmetic written independently here.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "output.h"
#include "output_test_util.h"
#include "stderr_capture.h"

namespace {

using sandrel_test::Bytes;
using sandrel_test::decode;
using sandrel_test::encode;
using sandrel_test::kMacos;

const bool kNativeLittle = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

int64_t lowest(int bits) { return -(int64_t{1} << (bits - 1)); }
int64_t highest(int bits) { return (int64_t{1} << (bits - 1)) - 1; }

TEST(Samples, ReadAndStoreWorkedExamples) {
  const struct {
    Bytes bytes;
    int little;
    int32_t value;
  } cases[] = {
      {{0x00, 0x80, 0xFF}, 1, -32768},
      {{0xFF, 0xFE}, 0, -2},
      {{0xFF, 0xFE}, 1, -257},
      {{0x80}, 1, -128},
      {{0x7F}, 0, 127},
      {{0x80, 0x00, 0x00}, 0, -8388608},
      {{0xFF, 0xFF, 0x7F}, 1, 8388607},
      {{0x00, 0x00, 0x00, 0x80}, 1, INT32_MIN},
      {{0x7F, 0xFF, 0xFF, 0xFF}, 0, INT32_MAX},
      {{0x12, 0x34, 0x56, 0x78}, 0, 0x12345678},
  };
  for (const auto &c : cases) {
    const int n = static_cast<int>(c.bytes.size());
    EXPECT_EQ(sandrel::read_sample(c.bytes.data(), n, c.little), c.value) << c.value;
    Bytes stored(c.bytes.size() + 1, 0xEE);
    sandrel::store_sample(stored.data(), c.value, n, c.little);
    EXPECT_EQ(Bytes(stored.begin(), stored.end() - 1), c.bytes) << c.value;
    EXPECT_EQ(stored.back(), 0xEE) << "wrote past " << n << " bytes";
  }
  // Only the low bytes of an out-of-range value reach memory.
  unsigned char two[2];
  sandrel::store_sample(two, 45000, 2, 1);
  EXPECT_EQ(two[0], 0xC8);
  EXPECT_EQ(two[1], 0xAF);
}

// Narrowing truncates toward zero on Linux and rounds toward minus infinity
// in the macOS variant; widening and exact values agree.
TEST(Samples, ConvertBitsNarrowsByTheVariantsRuleAndShiftsLeft) {
  const struct {
    int32_t value;
    int from, to;
    int32_t linux_result, macos_result;
  } cases[] = {
      {-32768, 24, 16, -128, -128},
      {-32768, 24, 32, -8388608, -8388608},
      {-1, 24, 16, 0, -1},
      {-256, 24, 16, -1, -1},
      {-257, 24, 16, -1, -2},
      {255, 24, 16, 0, 0},
      {256, 24, 16, 1, 1},
      {305419896, 32, 16, 4660, 4660},
      {-305419896, 32, 16, -4660, -4661},
      {INT32_MAX, 32, 8, 127, 127},
      {INT32_MIN, 32, 8, -128, -128},
      {INT32_MIN + 1, 32, 8, -127, -128},
      {-128, 8, 32, INT32_MIN, INT32_MIN},
      {127, 8, 16, 32512, 32512},
      {-1, 16, 24, -256, -256},
      {1234, 16, 16, 1234, 1234},
      {-1234, 16, 16, -1234, -1234},
  };
  for (const auto &c : cases)
    EXPECT_EQ(sandrel::convert_bits(c.value, c.from, c.to),
              kMacos ? c.macos_result : c.linux_result)
        << c.value << " " << c.from << "->" << c.to;
}

// The reference: narrowing by the variant's rule (truncation toward zero,
// or floor), exact scaling when widening.
int64_t reference_convert(int64_t v, int from, int to) {
  if (from > to) {
    const double q = static_cast<double>(v) / std::ldexp(1.0, from - to);
    return static_cast<int64_t>(kMacos ? std::floor(q) : std::trunc(q));
  }
  return v * (int64_t{1} << (to - from));
}

TEST(Convert, EveryPairOfWidthsInEveryByteOrder) {
  const int widths[] = {8, 16, 24, 32};
  const struct {
    int code;
    bool little;
  } orders[] = {{SANDREL_FMT_LITTLE, true},
                {SANDREL_FMT_BIG, false},
                {SANDREL_FMT_NATIVE, kNativeLittle},
                {3, false},
                {0, false}};
  for (int in : widths) {
    for (int out : widths) {
      for (const auto &o : orders) {
        SCOPED_TRACE(std::to_string(in) + "->" + std::to_string(out) + " code " +
                     std::to_string(o.code));
        const std::vector<int64_t> values = {
            lowest(in), lowest(in) + 1, -257, -256, -255, -1, 0, 1, 255, 256, highest(in)};
        std::vector<int64_t> in_range;
        for (int64_t v : values)
          if (v >= lowest(in) && v <= highest(in)) in_range.push_back(v);
        Bytes source = encode(in_range, in, o.little);
        // A trailing partial sample: kept by an equal-width copy, dropped
        // otherwise.
        const Bytes partial(static_cast<size_t>(in / 8 - 1), 0x5C);
        source.insert(source.end(), partial.begin(), partial.end());

        int length = -7;
        char *result = sandrel::convert_req_to_real(source.data(), static_cast<int>(source.size()),
                                                    in, out, o.code, &length);
        ASSERT_NE(result, nullptr);
        const Bytes got(result, result + length);
        std::free(result);
        if (in == out) {
          EXPECT_EQ(got, source);
          continue;
        }
        std::vector<int64_t> expected;
        for (int64_t v : in_range) expected.push_back(reference_convert(v, in, out));
        EXPECT_EQ(got.size(), in_range.size() * static_cast<size_t>(out / 8));
        EXPECT_EQ(decode(got, out, o.little), expected);
      }
    }
  }
}

TEST(Convert, WorkedExamplesInMemoryOrder) {
  const struct {
    Bytes in;
    int from, to, code;
    Bytes linux_out, macos_out;
  } cases[] = {
      {{0x00, 0x80, 0xFF}, 24, 16, SANDREL_FMT_LITTLE, {0x80, 0xFF}, {0x80, 0xFF}},
      {{0x00, 0x80, 0xFF},
       24,
       32,
       SANDREL_FMT_LITTLE,
       {0x00, 0x00, 0x80, 0xFF},
       {0x00, 0x00, 0x80, 0xFF}},
      // -1 at 24 bits.
      {{0xFF, 0xFF, 0xFF}, 24, 16, SANDREL_FMT_LITTLE, {0x00, 0x00}, {0xFF, 0xFF}},
      // -305419896 at 32 bits.
      {{0x88, 0xA9, 0xCB, 0xED}, 32, 16, SANDREL_FMT_LITTLE, {0xCC, 0xED}, {0xCB, 0xED}},
      {{0xED, 0xCB, 0xA9, 0x88}, 32, 16, SANDREL_FMT_BIG, {0xED, 0xCC}, {0xED, 0xCB}},
      // 10 bytes of 32-bit input give two 16-bit samples.
      {{0, 0, 1, 0, 0, 0, 2, 0, 9, 9}, 32, 16, SANDREL_FMT_LITTLE, {1, 0, 2, 0}, {1, 0, 2, 0}},
  };
  for (const auto &c : cases) {
    int length = 0;
    char *result = sandrel::convert_req_to_real(c.in.data(), static_cast<int>(c.in.size()), c.from,
                                                c.to, c.code, &length);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(Bytes(result, result + length), kMacos ? c.macos_out : c.linux_out);
    std::free(result);
  }
}

TEST(Convert, NothingToConvertGivesNoBufferAndNoMessage) {
  const unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const struct {
    const void *source;
    int length, in, out;
  } cases[] = {
      {bytes, 0, 16, 16},  {bytes, -4, 16, 16}, {nullptr, 8, 16, 16}, {bytes, 8, 0, 16},
      {bytes, 8, 7, 16},   {bytes, 8, 20, 16},  {bytes, 8, 16, 12},   {bytes, 8, 64, 16},
      {bytes, 8, -16, 16}, {bytes, 8, 16, 40},
  };
  StderrCapture capture;
  for (const auto &c : cases) {
    int length = 99;
    EXPECT_EQ(sandrel::convert_req_to_real(c.source, c.length, c.in, c.out, 1, &length), nullptr)
        << c.length << " " << c.in << "->" << c.out;
    EXPECT_EQ(length, 0);
  }
  EXPECT_EQ(capture.text(), "");
}

TEST(Convert, ShorterThanOneSampleGivesAnEmptyBuffer) {
  const unsigned char bytes[3] = {1, 2, 3};
  int length = 99;
  char *result = sandrel::convert_req_to_real(bytes, 3, 32, 16, 1, &length);
  EXPECT_EQ(length, 0);
  std::free(result);
}

TEST(Convert, ResultBeyondIntRangeIsReportedWithoutNewline) {
  // 600 million 8-bit samples would be 2.4e9 bytes at 32 bits: more than a
  // queued block can count. The source is not read.
  const unsigned char byte = 0;
  int length = 99;
  StderrCapture capture;
  EXPECT_EQ(sandrel::convert_req_to_real(&byte, 600000000, 8, 32, 1, &length), nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(capture.text(),
            "Allocation of output buffer of 600000000 samples of 32 bits gives NULL");
}

TEST(Volume, ScalesTowardZeroAndSaturates) {
  const struct {
    int bits, code, volume;
    std::vector<int64_t> in, out;
  } cases[] = {
      {16, 1, 5000, {-3, 3, -1, 1, 0}, {-1, 1, 0, 0, 0}},
      {16, 1, 15000, {30000, -30000, 20000}, {32767, -32768, 30000}},
      {16, 2, 15000, {30000, -21846}, {32767, -32768}},
      {32, 1, 20000, {INT32_MAX, INT32_MIN, 1000000000}, {INT32_MAX, INT32_MIN, 2000000000}},
      {24, 2, 15000, {8000000, -8000000}, {8388607, -8388608}},
      {8, 1, 20000, {100, -100, 50}, {127, -128, 100}},
      {16, 4, 10000, {-32768, 32767, 12345}, {-32768, 32767, 12345}},
      {24, 1, 0, {8388607, -8388608, 5}, {0, 0, 0}},
      // A negative volume inverts, and -(-32768) saturates too.
      {16, 1, -10000, {-32768, 32767, 5}, {32767, -32767, -5}},
      {32, 2, 7500, {-305419896, 305419896}, {-229064922, 229064922}},
  };
  for (const auto &c : cases) {
    const bool little = c.code == 1 || (c.code == 4 && kNativeLittle);
    Bytes block = encode(c.in, c.bits, little);
    // Bytes after the last whole sample stay untouched.
    const Bytes tail(static_cast<size_t>(c.bits / 8 - 1), 0x7B);
    block.insert(block.end(), tail.begin(), tail.end());
    sandrel::adjustVolume(reinterpret_cast<char *>(block.data()), static_cast<int>(block.size()),
                          c.volume, c.bits, c.code);
    Bytes expected = encode(c.out, c.bits, little);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(block, expected) << c.bits << " bits at " << c.volume;
  }
}

TEST(Volume, WorkedExampleSaturatesInsteadOfWrapping) {
  unsigned char block[2] = {0x30, 0x75};  // 30000
  sandrel::adjustVolume(reinterpret_cast<char *>(block), 2, 15000, 16, 1);
  EXPECT_EQ(block[0], 0xFF);
  EXPECT_EQ(block[1], 0x7F);
}

TEST(Volume, UnsupportedWidthOrNullBlockIsLeftAlone) {
  const Bytes original = {0x10, 0x20, 0x30, 0x40};
  for (int bits : {0, 4, 7, 20, 40}) {
    Bytes block = original;
    sandrel::adjustVolume(reinterpret_cast<char *>(block.data()), 4, 5000, bits, 1);
    EXPECT_EQ(block, original) << bits;
  }
  sandrel::adjustVolume(nullptr, 4, 5000, 16, 1);
}

}  // namespace
