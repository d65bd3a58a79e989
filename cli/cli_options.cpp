#include "cli/cli_options.h"

#include <CLI/CLI.hpp>

#include "upgrade/supported_models.h"

namespace vekcli {

std::optional<int> ParseCliOptions(int argc, char** argv, CliOptions& options) {
  CLI::App app{"vek-cli: updates the firmware of the attached module, as the desktop program's \"start\" does."};
  app.set_version_flag("--version", "vek-cli 5.1");
  std::vector<std::string> models(vek::kSupportedModels.begin(), vek::kSupportedModels.end());
  double timeout = 0;
  app.add_option("--port-map", options.port_map, "ports file (DEVICE_PATH<TAB>FRIENDLY NAME), as VEK_PORT_MAP");
  app.add_option("--images", options.images, "initial image folder (default: the current directory)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--product", options.product, "the product, when the module is found in a download mode")
      ->check(CLI::IsMember(models));
  app.add_flag("--restore-default", options.restore_default, "restore the module's default settings (AT&F1)");
  app.add_flag("--erase-on-mismatch", options.erase_on_mismatch,
               "erase the whole flash when the partition table differs");
  auto* timeout_option = app.add_option("--timeout", timeout, "give up when no module is ready within SECONDS")
                             ->check(CLI::PositiveNumber);
  app.add_flag("--verbose", options.verbose, "debug output on standard error");
  app.add_option("--trace", options.trace,
                 "record every frame sent and received and each status text in FILE (as VEK_TRACE, which it overrides)")
      ->type_name("FILE");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : kExitUsage;
  }
  if (timeout_option->count() > 0) options.timeout_seconds = timeout;
  return std::nullopt;
}

}  // namespace vekcli
