#include "app/debug_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "records/job_records.h"
#include "records/reporting.h"

namespace {

std::string Drain(int fd) {
  std::string out;
  char buffer[512];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  return out;
}

TEST(DebugOutput, StatusCopiesAndTracesBecomeOneLineEach) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  vek::SetDebugOutput(vek::DebugLineWriter(fds[1]));
  vek::TheJob().show_status("read version:");
  vek::DebugTrace("DBT_CONFIGCHANGED");
  vek::DebugTrace("DBT_DEVICEREMOVEPENDING");
  vek::SetDebugOutput(nullptr);
  EXPECT_EQ(Drain(fds[0]), "read version:\nDBT_CONFIGCHANGED\nDBT_DEVICEREMOVEPENDING\n");
  close(fds[0]);
  close(fds[1]);
}

TEST(DebugOutput, NoneDropsEverything) {
  // Standard error is swapped for a pipe to see what reaches it.
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  const int saved = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  vek::UseDebugOutput(vek::DebugOutput::kStandardError);
  vek::DebugTrace("shown");
  vek::UseDebugOutput(vek::DebugOutput::kNone);
  vek::DebugTrace("hidden");
  vek::TheJob().show_status("hidden too");
  dup2(saved, STDERR_FILENO);
  close(saved);
  EXPECT_EQ(Drain(fds[0]), "shown\n");
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
