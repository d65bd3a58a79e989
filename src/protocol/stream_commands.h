// The flash programmer's streaming download protocol: announce the host,
// choose the security mode, send the partition table, open, write and close
// each image, erase the EFS, and reset the module. Multi-byte numbers are
// little-endian here; every request goes out with the opening flag.
#pragma once

#include <cstdint>
#include <string>

#include "images/image_slots.h"

namespace vek {

// Results of StreamPartitionTable.
inline constexpr int kPartitionFailed = 0;
inline constexpr int kPartitionAccepted = 1;
inline constexpr int kPartitionMismatch = 2;  // the module's flash holds another table

// Longest flash type name kept from the hello reply.
inline constexpr size_t kFlashNameMaxLength = 99;

// 01, "QCOM fast download protocol host", 03 03 09; pause 200 ms; success on
// 0x02 (0x0D frames skipped) and also after 30 empty attempts.
bool StreamHello();
// The flash type name of the hello reply in RxFrame: its length at byte 43,
// its text from byte 44, within the received frame, at most 99 characters.
std::string HelloFlashName();
// 17 and the platform's mode byte; success on 0x18.
bool StreamSecurityMode();
// 19, override, the partition table; 1 accepted, 2 mismatch, 0 failure.
int StreamPartitionTable(uint8_t override_byte);
// 1B, type, and the header for types 4 and 5; success on 0x1C.
bool StreamOpenImage(ImageType type);
// The image of `type` in blocks of the platform's size, each answered 0x08
// within 30 000 ms; progress (0, 100), then (offset, size) after every block.
bool StreamWriteImage(ImageType type);
// 15; success on 0x16.
bool StreamClose();
// 1B 09 (opening the EFS image erases it); success on 0x1C.
bool StreamEraseEfs();
// 0B; success on 0x0C within 30 000 ms.
bool StreamReset();

// Fill TxPacket completely; TxPacket.length stays 0 when the request does not fit.
void BuildOpenImagePacket(uint8_t type, const uint8_t* header, int count);
void BuildStreamWritePacket(uint32_t offset, const uint8_t* data, int length);

}  // namespace vek
