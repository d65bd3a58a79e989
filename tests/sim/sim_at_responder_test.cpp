#include "sim/sim_at_responder.h"

#include <gtest/gtest.h>

#include "sim/sim_device.h"

namespace {

std::vector<std::string> Feed(sim::SimAtResponder& responder, sim::SimPortRole port, const std::string& bytes) {
  sim::SimActions actions;
  responder.OnBytes(port, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), actions);
  std::vector<std::string> replies;
  for (const auto& reply : actions.replies) {
    EXPECT_EQ(reply.port, port);
    replies.emplace_back(reply.bytes.begin(), reply.bytes.end());
  }
  return replies;
}

TEST(SimulatedAtPort, AnswersWholeCommandLinesLikeAModule) {
  sim::SimModuleOptions options;
  options.at.manufacturer = "X";
  options.at.model = "ZX4410QRA";
  options.at.revision = "ABC_HY1";
  options.at.imei = "123456789012345";
  options.at.device_info = "7";
  options.at.restore_defaults_reply = "ERROR";
  sim::SimDevice device;
  sim::SimAtResponder responder(options, device);
  // A command split over two writes is answered once, when its line ends.
  EXPECT_TRUE(Feed(responder, sim::SimPortRole::kAt, "AT").empty());
  EXPECT_EQ(Feed(responder, sim::SimPortRole::kAt, "I\r\n"),
            std::vector<std::string>{"Manufacturer: X\r\nModel: ZX4410QRA\r\nRevision: ABC_HY1\r\n"
                                     "IMEI: 123456789012345\r\n\r\nOK\r\n"});
  EXPECT_EQ(Feed(responder, sim::SimPortRole::kNmea, "AT+KORVANATI\r\n").at(0),
            "Manufacturer: X\r\nModel: ZX4410QRA\r\nRevision: ABC_HY1\r\nIMEI: 123456789012345\r\n"
            "DeviceInfo: 7\r\n\r\nOK\r\n");
  EXPECT_EQ(Feed(responder, sim::SimPortRole::kAt, "AT+CPWROND=0\r\nAT&F1\r\nAT+BOGUS\r\n"),
            (std::vector<std::string>{"OK\r\n", "ERROR\r\n", "ERROR\r\n"}));
  EXPECT_EQ(Feed(responder, sim::SimPortRole::kAt, std::string(1000, 'A') + "\r\n"),
            std::vector<std::string>{"ERROR\r\n"});
}

}  // namespace
