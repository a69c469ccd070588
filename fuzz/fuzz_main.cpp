// The libFuzzer executable of one target (ZEB_FUZZ_TARGET, its name). It works
// in a scratch directory: $ZEB_FUZZ_DIR when set (scripts/fuzz.sh makes one in
// memory and removes it afterwards), else a new directory under /tmp.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "targets.h"

#ifndef ZEB_FUZZ_TARGET
#error "ZEB_FUZZ_TARGET names the target"
#endif

namespace {
zeb::fuzz::Entry entry = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir;
  if (const char* d = std::getenv("ZEB_FUZZ_DIR")) {
    dir = d;
  } else {
    char tmpl[] = "/tmp/zebfuzz-XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    dir = tmpl;
  }
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  zeb::fuzz::write_support_files();
  for (const zeb::fuzz::Target& t : zeb::fuzz::targets())
    if (t.name == ZEB_FUZZ_TARGET) entry = t.run;
  if (!entry) {
    std::fprintf(stderr, "no fuzz target %s\n", ZEB_FUZZ_TARGET);
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { return entry(data, size); }
