// Replays every file of the given folders through the fuzz harness: the
// committed inputs that once crashed, hung or broke an invariant, and the
// fixtures. Each goes through twice: as the fuzzer saw it (cut to its
// length, with its limits), so that a finding replays as it was found, and
// whole with the replay's larger limits and extra seeks.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "decoder_harness.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

bool read_file(const std::string &path, std::vector<uint8_t> *bytes) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  av_log_set_level(AV_LOG_QUIET);
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    DIR *dir = opendir(argv[i]);
    if (dir == nullptr) {
      std::fprintf(stderr, "cannot read folder %s\n", argv[i]);
      return 1;
    }
    while (const dirent *e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name[0] == '.' || name.rfind("README", 0) == 0) continue;
      const std::string path = std::string(argv[i]) + "/" + name;
      struct stat st;
      if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      std::vector<uint8_t> bytes;
      if (!read_file(path, &bytes)) return 1;
      std::fprintf(stderr, "replaying %s\n", path.c_str());
      for (const melvor_fuzz::Limits &limits : {melvor_fuzz::kFuzzLimits, melvor_fuzz::kReplayLimits}) {
        melvor_fuzz::run_decoder_input(bytes.data(), bytes.size(), limits);
      }
      ++replayed;
    }
    closedir(dir);
  }
  std::printf("replayed %d inputs\n", replayed);
  return 0;
}
