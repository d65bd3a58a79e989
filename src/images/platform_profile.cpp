#include "images/platform_profile.h"

#include "records/job_records.h"

namespace vek {
namespace {

using S = ImageSlot;

constexpr ImageSlot kFiles6270[] = {S::kProgrammer, S::kDbl, S::kFsbl, S::kOsbl, S::kAmss, S::kPartition};
constexpr ImageSlot kFiles6280Pbl[] = {S::kProgrammer, S::kQcsblhdCfgdata, S::kPbl,  S::kQcsbl,    S::kOemsbl,
                                       S::kOemsblhd,   S::kAmsshd,         S::kAmss, S::kPartition};
constexpr ImageSlot kFiles6280[] = {S::kProgrammer, S::kQcsblhdCfgdata, S::kQcsbl, S::kOemsbl,
                                    S::kOemsblhd,   S::kAmsshd,         S::kAmss,  S::kPartition};

constexpr ImageToWrite kPbl{IMAGE_PBL, "pbl downloading...", "pbl open failed"};
constexpr ImageToWrite kQcsblhdCfg{IMAGE_QCSBLHD_CFGDATA, "qcsblhdcfg downloading...", "qcsblhdcfg open failed"};
constexpr ImageToWrite kQcsbl{IMAGE_QCSBL, "qcsbl downloading...", "qcsbl open failed"};
constexpr ImageToWrite kOemsbl{IMAGE_OEMSBL, "oemsbl downloading...", "oemsbl open failed"};
constexpr ImageToWrite kAmss{IMAGE_AMSS, "amss downloading...", "amss open failed"};
constexpr ImageToWrite kDbl{IMAGE_DBL, "dbl downloading...", "dbl open failed"};
constexpr ImageToWrite kOsbl{IMAGE_OSBL, "osbl downloading...", "osbl open failed"};
constexpr ImageToWrite kFsbl{IMAGE_FSBL, "fsbl downloading...", "fsbl open failed"};

constexpr ImageToWrite kImages6270[] = {kDbl, kFsbl, kOsbl, kAmss};
constexpr ImageToWrite kImages6280Pbl[] = {kPbl, kQcsblhdCfg, kQcsbl, kOemsbl, kAmss};
constexpr ImageToWrite kImages6280[] = {kQcsblhdCfg, kQcsbl, kOemsbl, kAmss};

constexpr PlatformProfile kProfiles[] = {
    {PLATFORM_6270, "NPRG6270.hex", kFiles6270, kImages6270, 1024, 0x01, false, BackupCopyName::kImei, true},
    {PLATFORM_6280_PBL, "NPRG6280.hex", kFiles6280Pbl, kImages6280Pbl, 512, 0x00, false, BackupCopyName::kImei},
    {PLATFORM_6280, "NPRG6280.hex", kFiles6280, kImages6280, 1024, 0x01, false, BackupCopyName::kImei, true},
    {PLATFORM_60X5, "NPRG60X5.hex", kFiles6280, kImages6280, 512, 0x01, true, BackupCopyName::kMeid},
};

}  // namespace

const PlatformProfile* ProfileOf(uint32_t platform) {
  for (const auto& profile : kProfiles)
    if (profile.platform == platform) return &profile;
  return nullptr;
}

const char* SlotFileName(ImageSlot slot, const PlatformProfile& profile) {
  switch (slot) {
    case S::kProgrammer: return profile.programmer_file;
    case S::kPartition: return "partition.mbn";
    case S::kQcsblhdCfgdata: return "qcsblhd_cfgdata.mbn";
    case S::kQcsbl: return "qcsbl.mbn";
    case S::kPbl: return "pbl.mbn";
    case S::kOemsblhd: return "oemsblhd.mbn";
    case S::kOemsbl: return "oemsbl.mbn";
    case S::kAmsshd: return "amsshd.mbn";
    case S::kAmss: return "amss.mbn";
    case S::kDbl: return "dbl.mbn";
    case S::kFsbl: return "fsbl.mbn";
    case S::kOsbl: return "osbl.mbn";
  }
  return "";
}

bool SlotOfImageData(ImageType type, ImageSlot& slot) {
  switch (type) {
    case IMAGE_PBL: slot = S::kPbl; return true;
    case IMAGE_QCSBLHD_CFGDATA: slot = S::kQcsblhdCfgdata; return true;
    case IMAGE_QCSBL: slot = S::kQcsbl; return true;
    case IMAGE_OEMSBL: slot = S::kOemsbl; return true;
    case IMAGE_AMSS: slot = S::kAmss; return true;
    case IMAGE_DBL: slot = S::kDbl; return true;
    case IMAGE_OSBL: slot = S::kOsbl; return true;
    case IMAGE_FSBL: slot = S::kFsbl; return true;
    default: return false;
  }
}

bool SlotOfImageHeader(ImageType type, ImageSlot& slot) {
  switch (type) {
    case IMAGE_OEMSBL: slot = S::kOemsblhd; return true;
    case IMAGE_AMSS: slot = S::kAmsshd; return true;
    default: return false;
  }
}

}  // namespace vek
