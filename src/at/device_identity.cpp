#include "at/device_identity.h"

#include <string>

#include "at/at_exchange.h"
#include "at/at_reply.h"
#include "records/job_facts.h"
#include "records/job_records.h"
#include "records/reporting.h"

namespace vek {
namespace {

struct AtReply {
  std::string text;       // up to the first NUL
  bool finished = false;  // it ends in its final result line, or it filled the whole read
};

// One identity command into a fresh zero-filled buffer.
AtReply AskOnce(uint32_t port, std::string_view command) {
  char reply[kAtReplyBufferSize] = {};
  const AtTransfer transfer = AtTransact(port, CommandBytes(command), CommandLength(command), kAtExchangeWaitMs,
                                         reply, sizeof reply, true);
  // A reply longer than the read is cut by the read, and its values by their fields.
  const bool finished = transfer.received >= kAtReadSize ||
                        ReplyFinished(std::string_view(reply, static_cast<size_t>(transfer.received)));
  return {std::string(ReplyText(reply, sizeof reply)), finished};
}

// A reply that ends without its final result line was cut short: the command
// is asked once more, and a reply cut again is not read at all, so a cut
// version or IMEI never reaches the window or the version report.
std::string Ask(uint32_t port, std::string_view command) {
  const AtReply reply = AskOnce(port, command);
  if (reply.text.empty() || reply.finished) return reply.text;
  DebugTrace("AT: reply to %.*s without a final result, asking again", static_cast<int>(command.size() - 2),
             command.data());
  const AtReply again = AskOnce(port, command);
  return again.finished ? again.text : std::string();
}

void MatchProduct(const std::string& version) {
  if (WindowNotifications* window = CurrentWindow()) window->MatchProduct(version);
}

// "IMEI:" wins over "MEID:"; without either the label shows an empty MEID and
// the stored text stays as it was.
void TakeImeiOrMeid(std::string_view reply, DeviceInfo& device) {
  const IdentityKind kind = ReplyHas(reply, kKeyImei) ? IdentityKind::kImei : IdentityKind::kMeid;
  const char* label = kind == IdentityKind::kImei ? kKeyImei : kKeyMeid;
  const bool told = ReplyHas(reply, label);
  if (told) device.imei.Set(ReplyValue(reply, label));
  const std::string shown = told ? device.imei.Get() : "";
  NoteIdentity(kind, shown);
  if (WindowNotifications* window = CurrentWindow()) window->ShowImei(label + shown);
}

void TakeSpecialModel(std::string_view reply, DeviceInfo& device, int after_upgrade) {
  WindowNotifications* window = CurrentWindow();
  if (ReplyHas(reply, kSpecialModel)) {
    device.special_model.store(1);
    if (after_upgrade == 0 && window) {
      window->CheckRestoreDefault(false);
      window->EnableRestoreDefault(false);
    }
  } else {
    device.special_model.store(0);
    if (window) window->EnableRestoreDefault(true);
  }
}

void TakeProductIds(std::string_view reply, DeviceInfo& device) {
  if (ReplyHas(reply, kKeyDeviceInfo)) {
    const ProductIds ids = ParseProductIds(ReplyValue(reply, kKeyDeviceInfo));
    device.product_m.store(ids.m);
    device.product_d.store(ids.d);
    device.ids_valid.store(1);
  } else {
    device.product_m.store(0);
    device.product_d.store(0);
    device.ids_valid.store(0);
  }
}

void ClearProductIds(DeviceInfo& device) {
  device.product_m.store(0);
  device.product_d.store(0);
  device.ids_valid.store(0);
}

}  // namespace

bool ReadDeviceIdentity(uint32_t port, int after_upgrade) {
  DeviceInfo& device = TheDevice();
  std::string ati_version;
  std::string maker_version;
  bool result = false;

  const std::string ati = Ask(port, kAtIdentify);
  if (ReplyHas(ati, kKeyManufacturer)) {
    if (ReplyHas(ati, kKeyRevision)) {
      ati_version = ReplyValue(ati, kKeyRevision);
      MatchProduct(ati_version);
    }
    TakeSpecialModel(ati, device, after_upgrade);
    TakeImeiOrMeid(ati, device);
    result = true;
  }

  const std::string maker = Ask(port, kAtMakerIdentify);
  if (ReplyHas(maker, kKeyManufacturer)) {
    if (after_upgrade == 0) {
      if (ReplyHas(maker, kKeyRevision)) {
        maker_version = ReplyValue(maker, kKeyRevision);
        device.sw_version.Set(maker_version);
        MatchProduct(maker_version);
      }
      TakeImeiOrMeid(maker, device);
      TakeProductIds(maker, device);
    } else {
      if (ReplyHas(maker, kKeyRevision)) device.new_sw_version.Set(ReplyValue(maker, kKeyRevision));
      // A module not named yet (its job began in a download mode, and ATI's reply
      // did not say) is named by this reply.
      if (device.imei.Get().find_first_not_of(" \t\r\n") == std::string::npos &&
          (ReplyHas(maker, kKeyImei) || ReplyHas(maker, kKeyMeid)))
        TakeImeiOrMeid(maker, device);
    }
    result = true;
  } else {
    if (!result) return false;
    // A module that knows only ATI: its version comes from a second ATI.
    const std::string again = Ask(port, kAtIdentify);
    if (ReplyHas(again, kKeyManufacturer)) {
      auto& version = after_upgrade == 0 ? device.sw_version : device.new_sw_version;
      if (ReplyHas(again, kKeyRevision)) version.Set(ReplyValue(again, kKeyRevision));
      if (after_upgrade == 0) ClearProductIds(device);
    }
  }

  NoteVersion(after_upgrade != 0, after_upgrade != 0 ? device.new_sw_version.Get() : device.sw_version.Get());
  const std::string& shown = !maker_version.empty() ? maker_version : ati_version;
  if (!shown.empty()) {
    if (WindowNotifications* window = CurrentWindow()) window->ShowSwVersion("SW version:" + shown);
  }
  return result;
}

}  // namespace vek
