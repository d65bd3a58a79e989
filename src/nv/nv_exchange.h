// One NV item exchange with the module's firmware: an NV read or write request
// of 133 bytes in TxPacket, framed by EncodeNvFrame, answered into RxFrame.
//
// Request and reply share one layout: byte 0 the command (0x26 read, 0x27
// write; the reply repeats it), bytes 1–2 the item id (little-endian), bytes
// 3–130 the item data (for an array item byte 3 is the element index), bytes
// 131–132 the status (0 in a request; 0 in a read reply when the item was read).
#pragma once

#include <cstdint>

namespace vek {

inline constexpr uint8_t kNvReadCommand = 0x26;
inline constexpr uint8_t kNvWriteCommand = 0x27;
inline constexpr uint8_t kNvBadParameters = 0x14;
inline constexpr uint8_t kNvBadSecurityMode = 0x42;

inline constexpr int kNvRequestLength = 133;
inline constexpr int kNvItemDataLength = 128;
inline constexpr int kNvRecordLength = 131;  // command, item id and data: one backup record
// The module answers an NV request within this time or not at all. The time
// is shared by the request and the two times it is sent again, so a module that
// has gone still ends the step after 10 000 ms.
inline constexpr uint32_t kNvReplyLimitMs = 10000;
inline constexpr uint32_t kNvAttemptLimitMs[] = {4000, 3000, 3000};
// A full reply: 133 bytes and the CRC.
inline constexpr int kNvFullReplyCount = kNvRequestLength + 2;
// A refusal long enough to name the request it refuses: its code, the request's
// command, item and element, and the CRC.
inline constexpr int kNvRefusalNamingCount = 7;

// What the status line says of an item whose request was answered otherwise each time.
inline constexpr const char* kNvReadFailedText = "backup NVB:NV %d backup failed \r\n";
inline constexpr const char* kNvWriteFailedText = "restore NVB:NV %d restore failed \r\n";

// Every body byte escaped, both CRC bytes escaped, the closing flag.
inline constexpr int kNvFrameCapacity = 2 * kNvRequestLength + 4 + 1;

enum NvResult : int {
  NV_DONE = 0,      // the module answered with the matching command (a read may carry a non-zero status)
  NV_FAILED = 4,    // any other command byte, or a reply that never came back intact
  NV_REFUSED = 6,   // 0x14 or 0x42
  NV_TIMEOUT = 11,  // no frame within 10 000 ms (or the wait was cut short: see NvWaitInterrupted)
};

// Frames `length` request bytes for the firmware: no opening flag, the body and
// its CRC escaped (a CRC byte 0x00 too), a closing flag. `frame` holds
// kNvFrameCapacity bytes for a 133-byte request. Returns the frame length, 0
// when there is nothing to encode.
int EncodeNvFrame(const uint8_t* bytes, int length, uint8_t* frame);

class BackupFileWriter;

// The file a saving read appends its record to; none outside a backup.
void SetOpenBackupFile(BackupFileWriter* file);

// One NV read. `data` is the 128-byte request area; count 0 asks for a plain
// item, count > 0 for element `index` of an array item. With `save`, a reply
// with status 0 is appended to the open backup file. Only a reply that names
// the requested item (and element) answers it; others are dropped. A request
// whose answer does not come, comes damaged or with another command is sent
// up to two more times within the one 10 000 ms limit.
NvResult NvReadItem(uint16_t item, uint8_t* data, int index, int count, bool save);

// An array item's elements are told apart by the index in byte 3.
bool NvIsArrayItem(uint16_t item);
// Whether `named` (a reply, or a refusal's copy one byte on) names `request`: its
// command, its item and, for an array, its element. A repeated or late reply to
// another request never answers this one.
bool NvNamesRequest(const uint8_t* request, bool array_element, const uint8_t* named);

// One NV write of the record the caller has placed in TxPacket's data area;
// `item` names it in the reports. Answers are matched and asked for again as
// for a read.
NvResult NvWriteItem(uint16_t item);

// Ends a wait that got no answer: NV_TIMEOUT, with the read's or the write's
// time-out line in the log unless the wait was cut short (`interrupted`).
NvResult NvWaitEnded(bool interrupted, bool write);

// True when the last NV_TIMEOUT came from a stop request or a vanished port
// rather than from the module's silence.
bool NvWaitInterrupted();

}  // namespace vek
