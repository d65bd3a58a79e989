// What the fuzz targets share: a scratch file for the readers that take a path,
// quiet reporting callbacks, and a way to fail loudly when a property breaks.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "records/job_records.h"

namespace vek::fuzz {

// A broken property is a crash, so libFuzzer keeps the input that caused it.
#define VEK_FUZZ_REQUIRE(condition)                                                 \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "property broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// One file per process in $TMPDIR (or /tmp), rewritten with every input and
// removed at exit. Returns its path.
inline const std::string& WriteScratchFile(const uint8_t* data, size_t size) {
  static int fd = -1;
  static std::string path;
  if (fd < 0) {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir != nullptr && dir[0] == '/' ? dir : "/tmp") + "/vek-fuzz-XXXXXX";
    fd = mkstemp(name.data());
    VEK_FUZZ_REQUIRE(fd >= 0);
    path = name;
    std::atexit([] { unlink(path.c_str()); });
  }
  VEK_FUZZ_REQUIRE(ftruncate(fd, 0) == 0);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    VEK_FUZZ_REQUIRE(n > 0);
    done += static_cast<size_t>(n);
  }
  return path;
}

inline int QuietFormat(const char*, ...) { return 0; }
inline int QuietMessage(int, const char*, const char*) { return 0; }
inline int QuietProgress(uint32_t, int32_t) { return 0; }

// Reporting callbacks that show nothing, so a target's run is not its printing.
inline void InstallQuietCallbacks(UpgradeJob& job) {
  job.show_status = QuietFormat;
  job.show_message = QuietMessage;
  job.show_progress = QuietProgress;
  job.write_log = QuietFormat;
}

// Keeps a value alive for the optimiser, so a call whose result is otherwise
// unused is never dropped.
template <class T>
inline void Keep(const T& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

}  // namespace vek::fuzz
