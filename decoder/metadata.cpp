// The file's tags and bit rate.
#include "instance.h"

#include <climits>
#include <cstdlib>

extern "C" {
#include <libavutil/dict.h>
}

namespace melvor {

namespace {

const char empty_text[] = "";

// The first entry for the key, case-insensitively: the container's, or the
// stream's when the container has none.
const AVDictionaryEntry *find_tag(const AVDictionary *container, const AVDictionary *stream,
                                  const char *key) {
  const AVDictionaryEntry *e = container ? av_dict_get(container, key, nullptr, 0) : nullptr;
  if (e == nullptr && stream != nullptr) e = av_dict_get(stream, key, nullptr, 0);
  return e;
}

// atoi's reading of a number, saturated to the int range instead of wrapping.
int leading_int(const char *text) {
  const long long v = std::strtoll(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

int int_from_entry(const AVDictionaryEntry *e) {
  if (e == nullptr || e->value == nullptr || e->value[0] == '\0') return -1;
  return leading_int(e->value);
}

// Throws std::bad_alloc when a copy cannot be made.
void copy_texts(file_info_storage &info, const AVDictionary *container, const AVDictionary *own) {
  info.title = get_metadata_string(container, own, "title");
  info.author = get_metadata_string(container, own, "artist");
  info.album = get_metadata_string(container, own, "album");
  info.genre = get_metadata_string(container, own, "genre");
  info.comment = get_metadata_string(container, own, "comment");
  info.copyright = get_metadata_string(container, own, "copyright");
}

}  // namespace

std::string get_metadata_string(const AVDictionary *container, const AVDictionary *stream,
                                const char *key) {
  const AVDictionaryEntry *e = find_tag(container, stream, key);
  if (e == nullptr || e->value == nullptr) return std::string();
  return std::string(e->value);
}

int get_metadata_int(const AVDictionary *container, const AVDictionary *stream, const char *key) {
  return int_from_entry(find_tag(container, stream, key));
}

const char *string_c_str(const std::string &s) { return s.empty() ? empty_text : s.c_str(); }

bool fill_file_metadata(__fmpg_instance__ *instance) {
  file_info_storage &info = instance->file_info;
  const AVFormatContext *context = instance->format_context.get();
  const AVStream *stream = selected_stream(instance);
  const AVDictionary *container = context ? context->metadata : nullptr;
  const AVDictionary *own = stream ? stream->metadata : nullptr;

  info.clear();
  // The copies of the texts can run out of memory; the caller gets false.
  try {
    copy_texts(info, container, own);
  } catch (...) {
    info.clear();
    return false;
  }
  // FFmpeg files the year of ID3, MP4 and Vorbis tags under "date".
  const AVDictionaryEntry *year = find_tag(container, own, "year");
  info.year = int_from_entry(year != nullptr ? year : find_tag(container, own, "date"));
  info.track = get_metadata_int(container, own, "track");

  const int64_t bit_rate = context ? context->bit_rate : 0;
  info.bitrate = bit_rate <= 0 ? -1 : (bit_rate > INT32_MAX ? INT32_MAX
                                                            : static_cast<int32_t>(bit_rate));
  return true;
}

}  // namespace melvor

namespace {

const char *text_or_empty(fmpg_instance *h, std::string file_info_storage::*field) {
  return h == nullptr ? "" : melvor::string_c_str(h->file_info.*field);
}

}  // namespace

extern "C" {

MELVOR_API const char *fmpg_file_title(fmpg_instance *h) noexcept {
  return text_or_empty(h, &file_info_storage::title);
}
MELVOR_API const char *fmpg_file_author(fmpg_instance *h) noexcept {
  return text_or_empty(h, &file_info_storage::author);
}
MELVOR_API const char *fmpg_file_album(fmpg_instance *h) noexcept {
  return text_or_empty(h, &file_info_storage::album);
}
MELVOR_API const char *fmpg_file_genre(fmpg_instance *h) noexcept {
  return text_or_empty(h, &file_info_storage::genre);
}
MELVOR_API const char *fmpg_file_comment(fmpg_instance *h) noexcept {
  return text_or_empty(h, &file_info_storage::comment);
}
MELVOR_API const char *fmpg_file_copyright(fmpg_instance *h) noexcept {
  return text_or_empty(h, &file_info_storage::copyright);
}
MELVOR_API int fmpg_file_year(fmpg_instance *h) noexcept { return h ? h->file_info.year : -1; }
MELVOR_API int fmpg_file_track(fmpg_instance *h) noexcept { return h ? h->file_info.track : -1; }
MELVOR_API int fmpg_file_bitrate(fmpg_instance *h) noexcept { return h ? h->file_info.bitrate : -1; }

}  // extern "C"
