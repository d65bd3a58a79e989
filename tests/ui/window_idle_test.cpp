// While no module is plugged in the window waits without working: the device
// search sleeps between its looks, the event loop sleeps between events.
// Run at the real timing (VEK_TIME_SCALE=1), see CMakeLists.txt.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <chrono>
#include <fstream>

#include "link/port_source.h"
#include "window_test_support.h"

namespace {

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

TEST(WindowWaitingForAModule, UsesAlmostNoProcessorTime) {
  uitest::ScratchFolder folder;
  std::ofstream(folder.File("ports")).flush();  // no module: an empty port map
  vek::SetPortMapPath(folder.File("ports"));
  {
    vek::CVEKDlg window(vek::WindowOptions{"", true});
    window.show();
    auto* status = uitest::Control<QLabel>(window, "statusLine");
    ASSERT_TRUE(uitest::WaitUntil([&] { return status->text() == QStringLiteral("please plug in USB!"); }, 5000));

    const double cpu_before = ProcessCpuSeconds();
    const auto wall_before = std::chrono::steady_clock::now();
    QEventLoop loop;
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    loop.exec();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    const double share = (ProcessCpuSeconds() - cpu_before) / wall;
    RecordProperty("cpu_share_permille", static_cast<int>(share * 1000));
    std::printf("CPU share while waiting for a module: %.4f over %.1f s\n", share, wall);
    EXPECT_LT(share, 0.02);
    EXPECT_EQ(status->text(), QStringLiteral("please plug in USB!"));  // still looking
  }
  vek::SetPortMapPath("");
}

}  // namespace
