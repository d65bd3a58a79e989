// The widgets' test program. The QApplication is created only when tests run, so
// listing them (at build time) needs no display platform.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <filesystem>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  // A private runtime folder: the single-instance lock and Qt's own files stay out
  // of the user's (and another test program's) way.
  char runtime[] = "/tmp/vek-ui-runtime-XXXXXX";
  if (mkdtemp(runtime) != nullptr) setenv("XDG_RUNTIME_DIR", runtime, 1);
  QApplication app(argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(runtime, ignored);
  return result;
}
