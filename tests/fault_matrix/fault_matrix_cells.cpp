// What each cell of the fault matrix must end with. A fault the job's steps
// only report (version, interface type, offline, AT+CPWROND=0, AT&F1 beside a
// download) lets the job succeed; diagnostic replies are judged without their
// CRC, so a damaged byte there is read as sent; NV requests are sent again.
#include "fault_matrix_cells.h"

#include <map>

namespace faultmatrix {
namespace {

const std::string kNoConnect = "can't connect to diagnostic port, maybe it is using!";
const std::string kPortChanged = "Error: can't open diagnostic COM20, maybe the diagnostic com port is changed!";
const std::string kPortChangedTo37 = "Error: can't open diagnostic COM37, maybe the diagnostic com port is changed!";

Expected Done() { return {0, kDone}; }
Expected Failed(const std::string& text) { return {1, text}; }
Expected DoneLogging(const std::string& logged) { return {0, kDone, logged}; }
Expected DoneSaying(const std::string& said) { return {0, said}; }

// silence, refuse, corrupt-crc, split, pull
using RowExpectations = std::vector<Expected>;

const std::map<std::string, RowExpectations>& Table() {
  static const std::map<std::string, RowExpectations> table = {
      // A module that never answers the probe is never taken for one: no job runs
      // and vek-cli gives up when its --timeout has passed.
      {"probe (06)", {{3, kNoConnect}, {3, kNoConnect}, {3, kNoConnect}, Done(), {3, kNoConnect}}},
      // The version is read while the job still stands at the backup's stage: a
      // cable pulled there aborts the job when the removal is noticed before the
      // switch to the boot loader begins, else the switch finds no port.
      {"version (00)", {DoneLogging("read version failed"), DoneLogging("read version failed"), Done(), Done(),
                        {1, kPortChanged, {}, {}, kRemoved}}},
      {"interface type (3D)", {DoneLogging("setting interface type failed!"),
                               DoneLogging("setting interface type failed!"), Done(), Done(),
                               Failed("unlock sp failed!")}},
      {"unlock (41)", {Failed("unlock sp failed!"), Failed("unlock sp failed!"), Done(), Done(),
                       Failed("unlock sp failed!")}},
      // An NV request whose answer is lost, damaged or of another code is sent again.
      {"NV read (26)", {Done(), Done(), Done(), Done(), Failed(kRemoved)}},
      {"NV write (27)", {Done(), Done(), Done(), Done(), Failed(kRemoved)}},
      {"switch (3A)", {Failed(kPortChanged), Done(), {}, {}, Failed(kPortChanged)}},
      {"switch (3A), ports re-enumerate", {Failed(kPortChanged), Done(), {}, {}, Failed(kPortChanged)}},
      {"switch (3A), back as COM37", {Failed(kPortChanged), Done(), {}, {}, Failed(kPortChanged)}},
      {"first boot probe (06), ports re-enumerated", {Done(), Done(), Done(), Done(), Failed(kPortChanged)}},
      {"first boot probe (06), back as COM37", {Done(), Done(), Done(), Done(), Failed(kPortChangedTo37)}},
      {"nop (06)", {Failed("nop failed"), Failed("nop failed"), Done(), Done(), Failed("nop failed")}},
      {"parameter request (07)", {Failed("preq failed"), Failed("preq failed"), Done(), Done(),
                                  Failed("preq failed")}},
      {"programmer block (0F)", {Failed("write hex failed"), Failed("write hex failed"), Done(), Done(),
                                 Failed("write hex failed")}},
      {"go (05)", {Failed("open timeout failed"), Done(), {}, {}, Failed("open timeout failed")}},
      // A hello that brings no reply at all counts as said (the flash name stays empty).
      {"hello (01)", {Done(), Failed("hello failed, maybe Nand Flash type mis-match!"), Done(), Done(),
                      Failed("hello failed, maybe Nand Flash type mis-match!")}},
      {"security mode (17)", {Failed("trust failed"), Failed("trust failed"), Done(), Done(),
                              Failed("trust failed")}},
      {"partition table (19)", {Failed("partition fail"), Failed("partition fail"), Done(), Done(),
                                Failed("partition fail")}},
      {"open (1B)", {Failed("qcsbl open failed"), Failed("qcsbl open failed"), Done(), Done(), Failed(kRemoved)}},
      {"write (07)", {Failed("write failed"), Failed("write failed"), Done(), Done(), Failed(kRemoved)}},
      {"close (15)", {Failed("close failed"), Failed("close failed"), Done(), Done(), Failed(kRemoved)}},
      {"EFS erase (1B 09)", {Failed("erase failed"), Failed("erase failed"), Done(), Done(), Failed(kRemoved)}},
      {"reset (0B)", {Failed("download reset failed!"), Failed("download reset failed!"), Done(), Done(),
                      Failed("download reset failed!")}},
      {"offline (29 01)", {DoneLogging("switch offline mode failed!"), DoneLogging("switch offline mode failed!"),
                           Done(), Done(), Failed("unlock sp failed!")}},
      {"normal reset (29 02)", {Done(), Done(), {}, {}, Done()}},
      // ATI unanswered after the download: the maker command still gives the new version.
      {"ATI", {Done(), Done(), Done(), Done(), Failed(kRemoved)}},
      {"AT+KORVANATI", {Done(), Done(), Done(), Done(), Failed(kRemoved)}},
      {"AT+CPWROND=0", {Done(), Done(), Done(), Done(), Failed("unlock sp failed!")}},
      {"AT&F1", {DoneSaying("AT&F1: command not support, restore failed!"),
                 DoneSaying("AT&F1: command not support, restore failed!"),
                 DoneSaying("AT&F1: restore default setting success!"),
                 DoneSaying("AT&F1: restore default setting success!"), Failed(kRemoved)}},
  };
  return table;
}

}  // namespace

Expected ExpectedOutcome(const Request& request, const std::optional<Fault>& fault) {
  if (!fault) return Done();
  const auto row = Table().find(request.name);
  if (row == Table().end()) return {-2, "(no expectation for this row)"};
  const auto& faults = Faults();
  for (size_t column = 0; column < faults.size() && column < row->second.size(); ++column)
    if (faults[column].name == fault->name) return row->second[column];
  return {-2, "(no expectation for this cell)"};
}

}  // namespace faultmatrix
