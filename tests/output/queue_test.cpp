// The block queue and the waiting primitives on a bare handle, and device
// opening against the fake libao.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "fake_ao.h"
#include "output.h"
#include "output_test_util.h"
#include "stderr_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using sandrel_test::kMacos;

// A producer's add, by the variant's rule.
void produce(ao_handle *h, sandrel::queue_elem *e) { sandrel::add(h, e); }

// A handle with its locks and semaphores but no device or thread.
class Queue : public ::testing::Test {
 protected:
  void SetUp() override {
    h_ = static_cast<ao_handle *>(std::calloc(1, sizeof(ao_handle)));
    ASSERT_TRUE(sandrel::setup_sync(h_));
  }
  void TearDown() override {
    sandrel::drop_all(h_);
    sandrel::destroy_sync(h_);
    std::free(h_);
  }

  sandrel::queue_elem *block(int size, int id = 1) {
    std::vector<char> bytes(static_cast<size_t>(size), static_cast<char>(id));
    return sandrel::new_elem(sandrel::kAudioBlock, id, id * 0.5, 60.0, size, bytes.data());
  }
  // No count left in the semaphore beyond the elements taken.
  bool semaphore_empty() { return sandrel::_SEM_WAIT(&h_->queue_sem, 1) == 0; }

  ao_handle *h_ = nullptr;
};

TEST_F(Queue, FirstInFirstOutWithByteCount) {
  for (int size : {100, 200, 300}) produce(h_, block(size, size));
  EXPECT_EQ(h_->bufsize, 600);
  EXPECT_EQ(h_->first->size, 100);
  EXPECT_EQ(h_->last->size, 300);
  EXPECT_EQ(h_->last->prev->size, 200);
  EXPECT_EQ(h_->first->prev, nullptr);
  EXPECT_EQ(h_->last->next, nullptr);
  int expected_left[] = {500, 300, 0};
  for (int i = 0; i < 3; ++i) {
    sandrel::queue_elem *e = sandrel::get(h_, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, (i + 1) * 100);
    EXPECT_EQ(e->music_id, (i + 1) * 100);
    EXPECT_EQ(e->data[0], static_cast<char>((i + 1) * 100));
    EXPECT_EQ(h_->bufsize, expected_left[i]);
    sandrel::del_elem(e);
  }
  EXPECT_EQ(h_->first, nullptr);
  EXPECT_EQ(h_->last, nullptr);
  EXPECT_EQ(sandrel::get(h_, 0), nullptr);
  EXPECT_TRUE(semaphore_empty());
}

TEST_F(Queue, TakeOnEmptyQueueWaitsOnlyWhenAskedTo) {
  EXPECT_EQ(sandrel::get(h_, 0), nullptr);
  const auto start = Clock::now();
  EXPECT_EQ(sandrel::get(h_, 250), nullptr);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(240));
}

void expect_stop_element(const sandrel::queue_elem *e) {
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->kind, sandrel::kStopElement);
  EXPECT_EQ(e->data, nullptr);
  EXPECT_EQ(e->size, 0);
  EXPECT_EQ(e->music_id, 0);
  EXPECT_EQ(e->at_second, 0.0);
  EXPECT_EQ(e->music_duration, 0.0);
}

TEST(Elements, StopElementCarriesNothing) {
  sandrel::queue_elem *e = sandrel::new_stop_elem();
  expect_stop_element(e);
  sandrel::del_elem(e);
}

TEST_F(Queue, ClearReportsTheCountAndCanLeaveTheStopElement) {
  {
    StderrCapture capture;
    sandrel::clear(h_, 1);
    EXPECT_EQ(capture.text(), "0 elements cleared\n");
  }
  ASSERT_NE(h_->first, nullptr);
  EXPECT_EQ(h_->first, h_->last);
  expect_stop_element(h_->first);
  EXPECT_EQ(h_->stop_elem, nullptr);  // the queue owns it now
  EXPECT_EQ(h_->bufsize, 0);

  for (int size : {10, 20, 30}) produce(h_, block(size));
  StderrCapture capture;
  sandrel::clear(h_, 0);
  EXPECT_EQ(capture.text(), "4 elements cleared\n");
  EXPECT_EQ(h_->first, nullptr);
  EXPECT_EQ(h_->last, nullptr);
  EXPECT_EQ(h_->bufsize, 0);
  EXPECT_TRUE(semaphore_empty());
}

// Linux refuses a stopped handle's blocks but not its stop element; the
// macOS variant has no stopped state.
TEST_F(Queue, StoppedHandleRefusesProducersButNotTheStopElement) {
  produce(h_, block(40));
  h_->stopped_flag = 1;
  EXPECT_EQ(sandrel::stopped(h_, 1), kMacos ? 0 : 1);
  EXPECT_EQ(sandrel::stopped(h_, 0), kMacos ? 0 : 1);
  produce(h_, block(50));
  EXPECT_EQ(h_->bufsize, kMacos ? 90 : 40);
  EXPECT_EQ(h_->last->size, kMacos ? 50 : 40);

  StderrCapture capture;
  sandrel::clear(h_, 1);
  EXPECT_EQ(capture.text(), kMacos ? "2 elements cleared\n" : "1 elements cleared\n");
  ASSERT_NE(h_->first, nullptr);
  EXPECT_EQ(h_->first, h_->last);
  expect_stop_element(h_->first);
  sandrel::del_elem(sandrel::get(h_, 0));
  EXPECT_TRUE(semaphore_empty());
}

// The macOS variant's producers take only the state lock: the playback
// thread's timed take, which holds the queue lock, does not hold them up,
// and returns their block at once. Linux producers wait for the take.
TEST_F(Queue, ProducerWaitsForTheQueueLockOnlyOnLinux) {
  std::promise<void> locked;
  std::future<sandrel::queue_elem *> taken = std::async(std::launch::async, [&] {
    pthread_mutex_lock(&h_->queue_lock);
    locked.set_value();
    sandrel::queue_elem *e = sandrel::get(h_, kMacos ? 5000 : 300);
    pthread_mutex_unlock(&h_->queue_lock);
    return e;
  });
  locked.get_future().wait();
  const auto start = Clock::now();
  std::future<void> added = std::async(std::launch::async, [&] { produce(h_, block(64, 3)); });
  ASSERT_EQ(added.wait_for(std::chrono::seconds(4)), std::future_status::ready);
  sandrel::queue_elem *e = taken.get();
  if (kMacos) {
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->music_id, 3);
    EXPECT_EQ(h_->bufsize, 0);
    sandrel::del_elem(e);
  } else {
    // Linked only once the take gave up.
    EXPECT_EQ(e, nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(h_->bufsize, 64);
  }
}

TEST_F(Queue, BlockThatWouldOverflowTheByteCountIsRefused) {
  h_->bufsize = INT_MAX - 50;
  produce(h_, block(51));
  EXPECT_EQ(h_->first, nullptr);
  EXPECT_EQ(h_->bufsize, INT_MAX - 50);
  EXPECT_TRUE(semaphore_empty());
  produce(h_, block(50));
  EXPECT_EQ(h_->bufsize, INT_MAX);
  sandrel::del_elem(sandrel::get(h_, 0));
  EXPECT_EQ(h_->bufsize, INT_MAX - 50);
  h_->bufsize = 0;
}

TEST(Elements, EmptyOrNegativeSizeCarriesNoData) {
  for (int size : {0, -5}) {
    sandrel::queue_elem *e = sandrel::new_elem(sandrel::kAudioBlock, 3, 1.5, 9.0, size, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data, nullptr);
    EXPECT_EQ(e->size, size);
    EXPECT_EQ(e->music_id, 3);
    EXPECT_EQ(e->at_second, 1.5);
    EXPECT_EQ(e->music_duration, 9.0);
    EXPECT_EQ(e->next, nullptr);
    EXPECT_EQ(e->prev, nullptr);
    sandrel::del_elem(e);
  }
  const char source[3] = {7, 8, 9};
  sandrel::queue_elem *e = sandrel::new_elem(sandrel::kAudioBlock, 1, 0, 0, 3, source);
  ASSERT_NE(e, nullptr);
  EXPECT_NE(e->data, source);
  EXPECT_EQ(std::memcmp(e->data, source, 3), 0);
  sandrel::del_elem(e);
  sandrel::del_elem(nullptr);
}

TEST(Waiting, TimedTakeAndSleeps) {
  sandrel::wait_sem s;
  ASSERT_TRUE(sandrel::wait_sem_init(&s, 1));
  EXPECT_EQ(sandrel::_SEM_WAIT(&s, 50), 1);
  auto start = Clock::now();
  EXPECT_EQ(sandrel::_SEM_WAIT(&s, 50), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));
  sandrel::wait_sem_post(&s);
  EXPECT_TRUE(sandrel::wait_sem_trywait(&s));
  EXPECT_FALSE(sandrel::wait_sem_trywait(&s));
  // Another thread's post ends a wait without deadline.
  std::thread poster([&s] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sandrel::wait_sem_post(&s);
  });
  sandrel::wait_sem_wait(&s);
  poster.join();
  // Back at its initial count before it goes.
  sandrel::wait_sem_post(&s);
  sandrel::wait_sem_destroy(&s);

  start = Clock::now();
  EXPECT_EQ(sandrel::msleep(-5), -1);
  EXPECT_EQ(sandrel::msleep(20), 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

TEST(Device, WidthsTriedInOrderUntilOneOpens) {
  const unsigned long long only16 = 1ull << 16;
  const struct {
    int bits;
    unsigned long long accepted;
    std::vector<int> tried;
    int opened;  // 0: none
  } cases[] = {
      {32, only16, {32, 24, 16}, 16}, {24, only16, {24, 16}, 16}, {20, only16, {20, 16}, 16},
      {16, only16, {16}, 16},         {8, only16, {8}, 0},        {32, 1ull << 24, {32, 24}, 24},
      {32, ~0ull, {32}, 32},          {32, 0, {32, 24, 16}, 0},
  };
  for (const bool to_file : {false, true}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(std::to_string(c.bits) + (to_file ? " to a file" : " live"));
      fake_ao_reset();
      fake_ao_accept_widths(c.accepted);
      fake_ao_refusal_errno(33);
      int width = -1;
      errno = 0;
      ao_device *d =
          sandrel::try_open_device(c.bits, 48000, 2, 2, to_file ? "out.wav" : nullptr, &width);
      ASSERT_EQ(fake_ao_open_count(), static_cast<int>(c.tried.size()));
      for (size_t i = 0; i < c.tried.size(); ++i) {
        fake_ao_open a;
        ASSERT_TRUE(fake_ao_open_at(static_cast<int>(i), &a));
        EXPECT_EQ(a.bits, c.tried[i]);
        EXPECT_EQ(a.rate, 48000);
        EXPECT_EQ(a.channels, 2);
        EXPECT_EQ(a.byte_format, 2);
        EXPECT_TRUE(a.matrix_null);
        EXPECT_TRUE(a.options_null);
        EXPECT_EQ(a.live, to_file ? 0 : 1);
        EXPECT_EQ(a.driver_id, to_file ? FAKE_AO_WAV_ID : FAKE_AO_LIVE_ID);
        if (to_file) {
          EXPECT_EQ(a.overwrite, 1);
          EXPECT_STREQ(a.filename, "out.wav");
        }
      }
      if (c.opened) {
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(width, c.opened);
        ao_close(d);
      } else {
        EXPECT_EQ(d, nullptr);
        EXPECT_EQ(width, -1);
        EXPECT_EQ(errno, 33);
      }
    }
  }
}

}  // namespace
