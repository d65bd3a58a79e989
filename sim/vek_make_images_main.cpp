// vek-make-images: writes an image folder for the simulated module.
//
//   vek-make-images DIR [--platform N] [--image-kib K]
#include <CLI/CLI.hpp>
#include <cstdio>

#include "sim/demo_images.h"

int main(int argc, char** argv) {
  CLI::App app{"vek-make-images: an image folder (HEX programmer and images) for the simulated module"};
  std::string folder;
  uint32_t platform = 2;
  size_t image_kib = 512;
  app.add_option("DIR", folder, "folder to write")->required();
  app.add_option("--platform", platform, "0 6270, 1 6280 with PBL, 2 6280, 3 60X5")->check(CLI::Range(0, 3));
  app.add_option("--image-kib", image_kib, "size of each image in KiB (amss four times that)")
      ->check(CLI::Range(1, 1 << 20));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;  // --help: 0; a usage error: 2, as vek-cli
  }
  if (!sim::WriteImageFolder(folder, platform, 48 * 1024, image_kib * 1024)) {
    std::fprintf(stderr, "vek-make-images: cannot write %s\n", folder.c_str());
    return 1;
  }
  return 0;
}
