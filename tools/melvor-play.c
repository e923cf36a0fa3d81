/* melvor-play [options] FILE...: plays audio files through the two
 * libraries' C APIs only, as a host does: the decoder's blocks go to the
 * output library, which plays them on its own thread.
 *
 * Keys on a terminal: space pause/resume, left/right seek 5 s, up/down
 * volume, n next file, q quit.
 *
 * The libraries write their diagnostics to stderr; the player owns the
 * process, so it points stderr at a log file (or nowhere) and keeps the
 * original stream for its own messages. */
#define _POSIX_C_SOURCE 200809L

#include <melvor.h>
#include <sandrel.h>

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { EXIT_UNREADABLE = 1, EXIT_USAGE = 2, EXIT_NO_DEVICE = 3, EXIT_OUTPUT_STOPPED = 4 };

/* Rendering a WAV file: blocks are queued while the handle is held paused
 * and written in batches, and the handle is held again while at least
 * RENDER_LOW bytes are still queued. The playback thread must never find
 * the queue empty in mid-render: it would then wait 250 ms in its timed
 * take, holding the queue lock, and the next ao_play_async with it. At most
 * RENDER_HIGH bytes and one block are queued. */
#define RENDER_HIGH (8 << 20)
#define RENDER_LOW (4 << 20)
/* While this little is left, a render's last batch is watched without
 * sleeping, so the thread can be held before it starts a timed take. */
#define RENDER_SPIN (1 << 20)

/* An output that takes no block while playing, for longer than what it has
 * queued lasts plus this margin, has stopped; a WAV file gets a fixed time. */
#define LIVE_STALL_MARGIN 1.5
#define FILE_STALL_SECONDS 5.0
/* Closing a live device may wait for it (ALSA drains its buffer); one that
 * hangs longer than this is given up, and sooner once it is known to have
 * stopped. */
#define STOP_GRACE_MS 5000
#define STOPPED_GRACE_MS 500

static const char usage_text[] =
    "usage: melvor-play [options] FILE...\n"
    "Plays the files in order.\n"
    "\n"
    "  --wav OUT.wav      render to a WAV file instead of the live device\n"
    "  --bits N           sample width to ask the device for: 8, 16, 24 or 32 (default 32)\n"
    "  --start SECONDS    start the first file at this time\n"
    "  --volume PERCENT   initial volume, 100 is unity (default 100)\n"
    "  --realtime         with --wav, render at the pace of playback\n"
    "  --log FILE         write the libraries' diagnostics to FILE (default: nowhere)\n"
    "  --quiet            print nothing but errors\n"
    "  --help             this text\n"
    "\n"
    "Keys on a terminal: space pause/resume, left/right seek 5 s back/forward,\n"
    "up/down volume, n next file, q quit.\n"
    "\n"
    "Exit codes: 0 all played; 1 a file could not be read or rendered; 2 bad options;\n"
    "3 no audio device (or the WAV file cannot be created); 4 the output stopped\n"
    "taking audio (the device died, or writing the WAV file failed).\n";

struct options {
  const char *wav;
  int bits;
  double start;
  double volume;
  int realtime;
  int quiet;
  const char *log;
};

/* What a key asks for; STOPPED: the output stopped taking blocks. */
enum action { NONE, PAUSE, SEEK_BACK, SEEK_FORWARD, VOLUME_UP, VOLUME_DOWN, NEXT, QUIT, STOPPED };

struct player {
  struct options opt;
  fmpg_instance *dec;
  ao_handle *out;
  int rate;
  int channels;
  int bytes_per_second; /* at the device width */
  int paused; /* by the user */
  int held;   /* by the player, to queue a batch before the thread goes on */
  double volume;
  int keys;     /* stdin is a terminal in raw mode */
  unsigned char pending[32]; /* keys read but not yet acted on */
  int pending_len;
  int progress; /* stdout is a terminal: update the progress line in place */
  int shown_line;
  double last_shown;
  double drawn_at;
  /* --realtime: seconds handed over, and the unpaused wall clock. */
  double fed_seconds;
  double clock_start;
  double paused_at;
  double paused_total;
  /* The output's progress as last seen, and since when it has not moved. */
  int watch_queued;
  double watch_second;
  int watch_id;
  double watch_polled;
  double watch_since;
  const char *playing; /* the file whose blocks were queued last */
  int last_id;         /* the music id, second and duration of the last block */
  double last_end;
  double last_duration;
};

static volatile sig_atomic_t interrupted = 0;
static volatile sig_atomic_t stop_reported = 0;
static struct termios saved_termios;
static volatile sig_atomic_t termios_saved = 0;

/* The player's own messages: stderr as it was when the process started. */
static FILE *user_err;
static int user_err_fd = STDERR_FILENO;

static void on_signal(int sig) {
  (void)sig;
  interrupted = 1;
}

static void restore_terminal(void) {
  if (termios_saved) tcsetattr(STDIN_FILENO, TCSANOW, &saved_termios);
  termios_saved = 0;
}

/* A live device that does not let its handle stop: say so (unless already
 * said) and leave without it. Only async-signal-safe calls. */
static void on_stop_timeout(int sig) {
  (void)sig;
  static const char text[] = "melvor-play: the audio device stopped; it did not close\n";
  if (!stop_reported) {
    ssize_t ignored = write(user_err_fd, text, sizeof text - 1);
    (void)ignored;
  }
  if (termios_saved) tcsetattr(STDIN_FILENO, TCSANOW, &saved_termios);
  _exit(EXIT_OUTPUT_STOPPED);
}

/* Points stderr, where the libraries, FFmpeg and ALSA write, at the log
 * file or /dev/null, and keeps the original stream for the player. */
static int redirect_diagnostics(const char *log) {
  user_err = stderr;
  const int keep = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (keep < 0) return 1; /* no stderr to keep: leave it as it is */
  FILE *kept = fdopen(keep, "w");
  if (kept == NULL) {
    close(keep);
    return 1;
  }
  setvbuf(kept, NULL, _IONBF, 0);
  const int target = open(log != NULL ? log : "/dev/null",
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (target < 0) {
    fprintf(kept, "melvor-play: cannot write the log %s: %s\n", log, strerror(errno));
    fclose(kept);
    return 0;
  }
  dup2(target, STDERR_FILENO);
  close(target);
  user_err = kept;
  user_err_fd = keep;
  return 1;
}

static int raw_terminal(void) {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_termios) != 0) return 0;
  struct termios raw = saved_termios;
  raw.c_lflag &= (tcflag_t) ~(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return 0;
  termios_saved = 1;
  atexit(restore_terminal);
  return 1;
}

static double now_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void sleep_us(long us) {
  struct timespec t = {us / 1000000, (us % 1000000) * 1000L};
  nanosleep(&t, NULL);
}

static void sleep_ms(int ms) { sleep_us(ms * 1000L); }

/* One key from the terminal; keys typed together are taken one per call. */
static enum action read_key(struct player *p) {
  if (interrupted) return QUIT;
  if (!p->keys) return NONE;
  if (p->pending_len == 0) {
    struct pollfd fd = {STDIN_FILENO, POLLIN, 0};
    if (poll(&fd, 1, 0) <= 0) return NONE;
    const ssize_t n = read(STDIN_FILENO, p->pending, sizeof p->pending);
    if (n <= 0) return NONE;
    p->pending_len = (int)n;
  }
  const unsigned char *k = p->pending;
  int used = 1;
  enum action a = NONE;
  if (k[0] == 27 && p->pending_len >= 3 && k[1] == '[') {
    used = 3;
    switch (k[2]) {
      case 'A': a = VOLUME_UP; break;
      case 'B': a = VOLUME_DOWN; break;
      case 'C': a = SEEK_FORWARD; break;
      case 'D': a = SEEK_BACK; break;
      default: break;
    }
  } else if (k[0] == 27) {
    used = p->pending_len; /* an escape sequence we don't know */
  } else if (k[0] == ' ') {
    a = PAUSE;
  } else if (k[0] == 'n' || k[0] == 'N') {
    a = NEXT;
  } else if (k[0] == 'q' || k[0] == 'Q') {
    a = QUIT;
  }
  p->pending_len -= used;
  memmove(p->pending, p->pending + used, (size_t)p->pending_len);
  return a;
}

static void format_time(char *out, size_t size, double seconds) {
  if (seconds < 0) {
    snprintf(out, size, "-:--");
    return;
  }
  const long s = (long)seconds;
  snprintf(out, size, "%ld:%02ld", s / 60, s % 60);
}

/* The progress of what is being heard, from the output library. */
static void show_progress(struct player *p, int force) {
  if (p->opt.quiet || p->out == NULL) return;
  const double second = ao_is_at_second_async(p->out);
  const double duration = ao_music_duration_async(p->out);
  const int id = ao_is_at_music_id_async(p->out);
  if (id < 0) return;
  if (!p->progress && !force && floor(second) == floor(p->last_shown)) return;
  /* A render calls this for every block: redraw a few times a second. */
  const double now = now_seconds();
  if (p->progress && !force && now - p->drawn_at < 0.1) return;
  p->drawn_at = now;
  p->last_shown = second;

  char at[32], total[32], bar[32];
  format_time(at, sizeof at, second);
  format_time(total, sizeof total, duration > 0 ? duration : -1);
  const int width = (int)sizeof bar - 1;
  int filled = duration > 0 ? (int)(second / duration * width) : 0;
  if (filled < 0) filled = 0;
  if (filled > width) filled = width;
  memset(bar, '#', (size_t)filled);
  memset(bar + filled, '-', (size_t)(width - filled));
  bar[width] = '\0';
  if (p->progress) {
    printf("\r  %s / %s [%s] vol %3.0f%%%s\033[K", at, total, bar, p->volume,
           p->paused ? " (paused)" : "");
    p->shown_line = 1;
  } else {
    printf("  %s / %s\n", at, total);
  }
  fflush(stdout);
}

static void end_progress_line(struct player *p) {
  if (p->shown_line) {
    printf("\n");
    p->shown_line = 0;
  }
}

static void print_file(struct player *p, int index, int count, const char *path) {
  if (p->opt.quiet) return;
  end_progress_line(p);
  fmpg_instance *d = p->dec;
  printf("[%d/%d] %s\n", index, count, path);
  const struct {
    const char *name;
    const char *value;
  } tags[] = {{"title", fmpg_file_title(d)},     {"artist", fmpg_file_author(d)},
              {"album", fmpg_file_album(d)},     {"genre", fmpg_file_genre(d)},
              {"comment", fmpg_file_comment(d)}, {"copyright", fmpg_file_copyright(d)}};
  for (size_t i = 0; i < sizeof tags / sizeof tags[0]; ++i) {
    if (tags[i].value[0] != '\0') printf("  %-9s %s\n", tags[i].name, tags[i].value);
  }
  if (fmpg_file_year(d) >= 0) printf("  %-9s %d\n", "year", fmpg_file_year(d));
  if (fmpg_file_track(d) >= 0) printf("  %-9s %d\n", "track", fmpg_file_track(d));
  char total[32];
  format_time(total, sizeof total, fmpg_duration_ms(d) >= 0 ? fmpg_duration_ms(d) / 1000.0 : -1);
  printf("  %d Hz, %d channel%s, %s", fmpg_audio_sample_rate(d), fmpg_audio_channels(d),
         fmpg_audio_channels(d) == 1 ? "" : "s", total);
  if (fmpg_duration_samples(d) >= 0) printf(" (%" PRId64 " samples)", fmpg_duration_samples(d));
  if (fmpg_file_bitrate(d) > 0) printf(", %d kbit/s", fmpg_file_bitrate(d) / 1000);
  printf("\n");
  fflush(stdout);
}


/* The handle is paused while the user has paused it or the player holds it. */
static void apply_pause(struct player *p) { ao_pause_async(p->out, p->paused || p->held); }

static void hold(struct player *p, int held) {
  if (p->held == held) return;
  p->held = held;
  apply_pause(p);
}

static int rendering(const struct player *p) { return p->opt.wav != NULL && !p->opt.realtime; }

/* Stops the handle. A live device that hangs may keep the playback thread
 * in its write for ever, and the stop with it: past a grace time the
 * process leaves without it. */
static void stop_output(struct player *p, long grace_ms) {
  if (p->out == NULL) return;
  end_progress_line(p);
  const int guard = p->opt.wav == NULL;
  struct itimerval timer;
  memset(&timer, 0, sizeof timer);
  if (guard) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_timeout;
    sigaction(SIGALRM, &sa, NULL);
    timer.it_value.tv_sec = grace_ms / 1000;
    timer.it_value.tv_usec = grace_ms % 1000 * 1000;
    setitimer(ITIMER_REAL, &timer, NULL);
  }
  ao_stop_async(p->out);
  if (guard) {
    memset(&timer, 0, sizeof timer);
    setitimer(ITIMER_REAL, &timer, NULL);
  }
  p->out = NULL;
}

/* 1 when the output has stopped taking blocks: none taken while playing
 * for longer than what is queued lasts, plus a margin. The clock starts
 * again while paused or held, while nothing is queued, and when the player
 * itself was not running (stopped, or the machine asleep). */
static int output_stalled(struct player *p) {
  const double now = now_seconds();
  const int queued = ao_bufsize_async(p->out);
  const double second = ao_is_at_second_async(p->out);
  const int id = ao_is_at_music_id_async(p->out);
  if (p->paused || p->held || queued == 0 || queued < p->watch_queued ||
      second != p->watch_second || id != p->watch_id || now - p->watch_polled > 0.25) {
    p->watch_since = now;
  }
  p->watch_queued = queued;
  p->watch_second = second;
  p->watch_id = id;
  p->watch_polled = now;
  const double limit = p->opt.wav != NULL
                           ? FILE_STALL_SECONDS
                           : (double)queued / p->bytes_per_second + LIVE_STALL_MARGIN;
  return now - p->watch_since > limit;
}

/* Drains what the last file left before the device changes, answering
 * keys; then holds the playback thread at its gate, so that the stop that
 * follows need not wait for a timed take on the empty queue. */
static enum action drain(struct player *p);

/* An output handle for the open file's format: the one there is when it
 * fits, else a new one. NONE when there is one; otherwise NEXT to skip the
 * file or QUIT to end, with the exit code set and a message, or STOPPED. */
static enum action ensure_output(struct player *p, const char *path, int *exit_code) {
  const int rate = fmpg_audio_sample_rate(p->dec);
  const int channels = fmpg_audio_channels(p->dec);
  if (p->out != NULL && rate == p->rate && channels == p->channels) return NONE;
  if (p->out != NULL && p->opt.wav != NULL) {
    end_progress_line(p);
    fprintf(user_err,
            "melvor-play: cannot render %s into %s: its format (%d Hz, %d channels) differs "
            "from the first file's (%d Hz, %d channels)\n",
            path, p->opt.wav, rate, channels, p->rate, p->channels);
    *exit_code = EXIT_UNREADABLE;
    return NEXT;
  }
  if (p->out != NULL) {
    const enum action a = drain(p);
    if (a != NONE) return a;
    stop_output(p, STOP_GRACE_MS);
  }
  p->out = ao_create_async(p->opt.bits, rate, channels, SANDREL_FMT_NATIVE, p->opt.wav);
  if (p->out == NULL) {
    end_progress_line(p);
    if (p->opt.wav != NULL) {
      fprintf(user_err, "melvor-play: cannot write %s\n", p->opt.wav);
    } else {
      fprintf(user_err, "melvor-play: no audio device could be opened; try --wav FILE\n");
    }
    *exit_code = EXIT_NO_DEVICE;
    return QUIT;
  }
  /* Held at once, most often before the new thread reaches its gate: the
   * first batch is queued before it starts taking. */
  p->held = 0;
  hold(p, 1);
  p->rate = rate;
  p->channels = channels;
  p->bytes_per_second = rate * channels * (ao_real_output_bits_async(p->out) / 8);
  ao_set_volume_async(p->out, p->volume);
  return NONE;
}

/* Seconds of playback that --realtime allows to be handed over by now. */
static double realtime_allowance(const struct player *p) {
  const double now = p->paused ? p->paused_at : now_seconds();
  return now - p->clock_start - p->paused_total + 0.5;
}

/* Whether another block may be queued: live, while less than half a second
 * is queued, and a whole second before a new handle's thread starts (a
 * device may take half a second into its own buffer at once, and the queue
 * must not run dry behind it); with --realtime, while the wall clock
 * allows; rendering, up to RENDER_HIGH, held paused from the moment the
 * queue runs low until the next batch is in. */
static int room(struct player *p) {
  if (p->opt.realtime) return p->fed_seconds < realtime_allowance(p);
  const int queued = ao_bufsize_async(p->out);
  if (!rendering(p)) return queued < (p->held ? p->bytes_per_second : p->bytes_per_second / 2);
  if (queued < RENDER_LOW) hold(p, 1);
  return queued < RENDER_HIGH;
}

/* The pause of a waiting loop while `queued` bytes are queued: a live
 * device, or a paused handle, takes its time; a render is watched closely,
 * and its last blocks without a pause at all (no sleep, no system call),
 * to hold the thread the moment it has taken the last one. */
static void nap(struct player *p, int queued) {
  if (!rendering(p) || p->paused) {
    sleep_ms(10);
  } else if (queued > RENDER_SPIN) {
    sleep_us(100);
  } else {
    const double until = now_seconds() + 0.05;
    while (ao_bufsize_async(p->out) > 0 && now_seconds() < until) continue;
  }
}

/* Waits until another block may be queued, handling keys meanwhile. */
static enum action wait_for_room(struct player *p) {
  for (;;) {
    const enum action a = read_key(p);
    if (a != NONE) return a;
    if (room(p) && !p->paused) return NONE;
    hold(p, 0); /* the batch is in */
    if (output_stalled(p)) return STOPPED;
    show_progress(p, 0);
    nap(p, RENDER_HIGH);
  }
}

static void toggle_pause(struct player *p) {
  p->paused = !p->paused;
  if (p->paused) {
    p->paused_at = now_seconds();
  } else {
    p->paused_total += now_seconds() - p->paused_at;
  }
  apply_pause(p);
  show_progress(p, 1);
}

static void change_volume(struct player *p, double step) {
  p->volume += step;
  if (p->volume < 0) p->volume = 0;
  if (p->volume > 400) p->volume = 400;
  ao_set_volume_async(p->out, p->volume);
  show_progress(p, 1);
}

/* Seeks the file being played by `step` seconds from what is heard. 0 when
 * that lies past its end (go on with the next file). */
static int seek_by(struct player *p, int music_id, double step) {
  double base = fmpg_timecode(p->dec);
  if (ao_is_at_music_id_async(p->out) == music_id && ao_is_at_second_async(p->out) >= 0) {
    base = ao_is_at_second_async(p->out);
  }
  double target = base + step;
  if (target < 0) target = 0;
  const int64_t duration_ms = fmpg_duration_ms(p->dec);
  const int64_t ms = (int64_t)llround(target * 1000.0);
  if (duration_ms >= 0 && ms >= duration_ms) return 0;
  ao_clear_async(p->out);
  if (!fmpg_seek_ms(p->dec, ms)) return 1;
  if (!p->opt.quiet && !p->progress) printf("  seek to %" PRId64 " ms\n", ms);
  return 1;
}

/* Queues the decoder's block. 0 when the handle refused it, which it does
 * only once its device has failed. A block queued or taken shows at once
 * in what the handle reports, but for the moment between the playback
 * thread's take and its publishing what it took: that is waited out. In
 * the failed state nothing ever moves. */
static int queue_block(struct player *p, int music_id, double duration,
                       const sandrel_format *format) {
  const int queued = ao_bufsize_async(p->out);
  const double second = ao_is_at_second_async(p->out);
  const int id = ao_is_at_music_id_async(p->out);
  ao_play_async(p->out, music_id, fmpg_timecode(p->dec), duration, fmpg_buffer_size(p->dec),
                fmpg_buffer(p->dec), *format);
  for (int waited = 0; waited <= 1000; ++waited) {
    if (ao_bufsize_async(p->out) != queued || ao_is_at_second_async(p->out) != second ||
        ao_is_at_music_id_async(p->out) != id) {
      return 1;
    }
    sleep_ms(1);
  }
  return 0;
}

/* Plays the open file to its end, or until a key says otherwise. */
static enum action play_file(struct player *p, int music_id) {
  const int64_t duration_ms = fmpg_duration_ms(p->dec);
  const double duration = duration_ms >= 0 ? duration_ms / 1000.0 : 0.0;
  sandrel_format format;
  memset(&format, 0, sizeof format);
  format.bits = fmpg_audio_bits_per_sample(p->dec);
  for (;;) {
    const enum action a = wait_for_room(p);
    switch (a) {
      case QUIT:
      case NEXT:
        ao_clear_async(p->out);
        return a;
      case STOPPED: return a;
      case PAUSE: toggle_pause(p); continue;
      case VOLUME_UP: change_volume(p, 10); continue;
      case VOLUME_DOWN: change_volume(p, -10); continue;
      case SEEK_BACK:
      case SEEK_FORWARD:
        if (!seek_by(p, music_id, a == SEEK_BACK ? -5.0 : 5.0)) return NEXT;
        continue;
      case NONE: break;
    }
    if (!fmpg_decode_next(p->dec)) return NONE;
    if (!queue_block(p, music_id, duration, &format)) return STOPPED;
    p->fed_seconds += (double)fmpg_buffer_samples(p->dec) / p->rate;
    p->last_id = music_id;
    p->last_end = fmpg_timecode(p->dec) + (double)fmpg_buffer_samples(p->dec) / p->rate;
    p->last_duration = duration;
  }
}

/* libao closes a live device by sleeping for the latency it estimates and
 * then dropping the stream, not by draining it: when the sound server is
 * behind, the last milliseconds are lost. A tenth of a second of silence
 * after the last block is what they take then. */
static void queue_tail_silence(struct player *p) {
  const int bytes = p->rate / 10 * p->channels * 4;
  void *zeros = calloc(1, (size_t)bytes);
  if (zeros == NULL) return;
  sandrel_format format;
  memset(&format, 0, sizeof format);
  format.bits = 32;
  ao_play_async(p->out, p->last_id, p->last_end, p->last_duration, bytes, zeros, format);
  free(zeros);
}

static enum action drain(struct player *p) {
  if (p->out == NULL) return NONE;
  if (p->opt.wav == NULL) queue_tail_silence(p);
  hold(p, 0);
  for (;;) {
    const int queued = ao_bufsize_async(p->out);
    if (queued == 0 && !p->paused) break;
    const enum action a = read_key(p);
    if (a == QUIT || a == NEXT) {
      ao_clear_async(p->out);
      if (a == QUIT) return QUIT;
      break;
    }
    if (a == PAUSE) toggle_pause(p);
    if (a == VOLUME_UP || a == VOLUME_DOWN) change_volume(p, a == VOLUME_UP ? 10 : -10);
    if (output_stalled(p)) return STOPPED;
    show_progress(p, 0);
    nap(p, queued);
  }
  hold(p, 1);
  if (p->opt.realtime) {
    /* The last half second the clock allowed ahead of time. */
    while (!interrupted && p->fed_seconds > realtime_allowance(p) - 0.5) sleep_ms(10);
  }
  show_progress(p, 0);
  return NONE;
}

/* The one line that says the output stopped taking audio. */
static void report_stopped(struct player *p) {
  const char *path = p->playing != NULL ? p->playing : "";
  end_progress_line(p);
  char at[32];
  format_time(at, sizeof at, ao_is_at_second_async(p->out));
  if (p->opt.wav != NULL) {
    fprintf(user_err, "melvor-play: writing %s stopped; %s was cut off at %s\n", p->opt.wav,
            path, at);
  } else {
    fprintf(user_err, "melvor-play: the audio device stopped; %s was cut off at %s\n", path, at);
  }
  stop_reported = 1;
}

static int parse_number(const char *text, double low, double high, double *out) {
  char *end = NULL;
  errno = 0;
  const double v = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= low && v <= high)) return 0;
  *out = v;
  return 1;
}

static int parse_options(int argc, char **argv, struct options *opt, int *first_file) {
  opt->wav = NULL;
  opt->bits = 32;
  opt->start = 0;
  opt->volume = 100;
  opt->realtime = 0;
  opt->quiet = 0;
  opt->log = NULL;
  int i = 1;
  for (; i < argc; ++i) {
    const char *a = argv[i];
    if (strcmp(a, "--") == 0) {
      ++i;
      break;
    }
    if (a[0] != '-' || a[1] == '\0') break;
    const int has_value = i + 1 < argc;
    double v;
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
      fputs(usage_text, stdout);
      exit(0);
    } else if (strcmp(a, "--quiet") == 0 || strcmp(a, "-q") == 0) {
      opt->quiet = 1;
    } else if (strcmp(a, "--realtime") == 0) {
      opt->realtime = 1;
    } else if (strcmp(a, "--wav") == 0 && has_value) {
      opt->wav = argv[++i];
    } else if (strcmp(a, "--log") == 0 && has_value) {
      opt->log = argv[++i];
    } else if (strcmp(a, "--bits") == 0 && has_value) {
      if (!parse_number(argv[++i], 8, 32, &v) || ((int)v != 8 && (int)v != 16 && (int)v != 24 &&
                                                  (int)v != 32) || v != (int)v) {
        fprintf(stderr, "melvor-play: --bits takes 8, 16, 24 or 32, not %s\n", argv[i]);
        return 0;
      }
      opt->bits = (int)v;
    } else if (strcmp(a, "--start") == 0 && has_value) {
      if (!parse_number(argv[++i], 0, 1e9, &opt->start)) {
        fprintf(stderr, "melvor-play: --start takes seconds (0 or more), not %s\n", argv[i]);
        return 0;
      }
    } else if (strcmp(a, "--volume") == 0 && has_value) {
      if (!parse_number(argv[++i], 0, 1000, &opt->volume)) {
        fprintf(stderr, "melvor-play: --volume takes a percent from 0 to 1000, not %s\n",
                argv[i]);
        return 0;
      }
    } else if (strcmp(a, "--wav") == 0 || strcmp(a, "--bits") == 0 ||
               strcmp(a, "--start") == 0 || strcmp(a, "--volume") == 0 ||
               strcmp(a, "--log") == 0) {
      fprintf(stderr, "melvor-play: %s needs a value\n", a);
      return 0;
    } else {
      fprintf(stderr, "melvor-play: unknown option %s (see --help)\n", a);
      return 0;
    }
  }
  if (opt->realtime && opt->wav == NULL) {
    fprintf(stderr, "melvor-play: --realtime goes with --wav\n");
    return 0;
  }
  if (i >= argc) {
    fputs(usage_text, stderr);
    return 0;
  }
  *first_file = i;
  return 1;
}

int main(int argc, char **argv) {
  struct player p;
  memset(&p, 0, sizeof p);
  int first_file = 0;
  if (!parse_options(argc, argv, &p.opt, &first_file)) return EXIT_USAGE;
  if (!redirect_diagnostics(p.opt.log)) return EXIT_USAGE;
  p.volume = p.opt.volume;
  p.last_shown = -1;

  p.dec = fmpg_init();
  if (p.dec == NULL) {
    fprintf(user_err, "melvor-play: the decoder cannot start (FFmpeg's libraries do not match)\n");
    return EXIT_UNREADABLE;
  }

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
  p.keys = raw_terminal();
  p.progress = isatty(STDOUT_FILENO) && !p.opt.quiet;
  p.clock_start = now_seconds();

  int exit_code = 0;
  enum action last = NONE;
  const int count = argc - first_file;
  for (int i = 0; i < count && !interrupted; ++i) {
    const char *path = argv[first_file + i];
    if (!fmpg_open_file(p.dec, path)) {
      end_progress_line(&p);
      fputc('\n', stderr); /* the decoder's open trace has no line end */
      fprintf(user_err, "melvor-play: cannot play %s: not a readable audio file\n", path);
      exit_code = EXIT_UNREADABLE;
      continue;
    }
    fputc('\n', stderr);
    const enum action a = ensure_output(&p, path, &exit_code);
    if (a != NONE) fmpg_close(p.dec);
    if (a == NEXT) continue;
    if (a != NONE) {
      last = a;
      break;
    }
    print_file(&p, i + 1, count, path);
    p.playing = path;
    if (i == 0 && p.opt.start > 0) fmpg_seek_ms(p.dec, (int64_t)llround(p.opt.start * 1000.0));
    last = play_file(&p, i + 1);
    fmpg_close(p.dec);
    if (last == QUIT || last == STOPPED) break;
  }
  if (last != QUIT && last != STOPPED && !interrupted) last = drain(&p);
  if (last == STOPPED) {
    report_stopped(&p);
    exit_code = EXIT_OUTPUT_STOPPED;
  }
  stop_output(&p, last == STOPPED ? STOPPED_GRACE_MS : STOP_GRACE_MS);
  fmpg_free(p.dec);
  restore_terminal();
  return exit_code;
}
