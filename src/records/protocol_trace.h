// The protocol trace for support: every frame sent to and received from the
// module, every AT text, every status text and message box, time-stamped, in
// one text file. Started by VEK_TRACE=FILE (both programs) or vek-cli's
// --trace FILE; "vek.log" is not touched by it.
//
// The file is created or truncated when tracing starts (one trace per run) and
// written with one write(2) per record (never buffered), so it is complete up
// to the last record even when the program dies. It starts with a line naming the wall-clock time.
//
// Line format, one record per line, fields separated by one space:
//
//   STAMP DIR BODY [NOTE]
//
//   STAMP  seconds since tracing started, CLOCK_MONOTONIC, six decimals,
//          right-aligned in 11 columns ("   0.012345"); never decreases.
//   DIR    ">" bytes written to a port, "<" bytes read from a port,
//          "#" a text of the program's own (status, message box, trace events).
//   BODY   for ">" and "<": the bytes in upper-case hex separated by spaces
//          ("7E 06 4E 95 7E"), or, for the one-shot exchanges on the AT and
//          other ports when every byte is printable or a line end, the text
//          in double quotes ("ATI\r\n"); for "#": "status: TEXT",
//          "box: CAPTION: TEXT" or "trace: ...".
//   NOTE   optional, in square brackets at the end:
//            [write failed]   the write did not complete (bytes may be partial)
//            [discarded]      read, but thrown away after the frame before them
//            [dropped]        read, but thrown away by a purge or a re-open
//            [unclosed]       given up before its closing flag arrived
//            [COMn]           the port of a one-shot exchange (the AT
//                             exchanges and the port-mode check)
//            [...]            the bytes continue on the next line (same stamp
//                             and direction): a line holds at most 2048 bytes
//
// Diagnostic frames are traced exactly as on the wire: escaped, with their
// flags. A received frame is one line from its first byte to its closing flag;
// the mode probe's answer is the bytes the probe reads (five at most), and
// bytes the port's own purges throw away unread are never seen, so never traced.
// Texts escape backslash, double quote and control bytes as \\ \" \r \n \t
// \xHH; status and box texts keep bytes from 0x80 up (they are UTF-8).
//
// Thread safety: any thread may trace; lines are written whole, under one
// mutex, and stamped inside it. When tracing is off a hook costs one relaxed
// atomic load. A write error stops tracing with one warning on standard error;
// it never fails the job.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vek {

inline constexpr char kTraceEnvironmentVariable[] = "VEK_TRACE";
inline constexpr size_t kTraceBytesPerLine = 2048;

namespace trace_detail {
extern std::atomic<bool> enabled;
}

// The hot-path test in front of every hook.
inline bool ProtocolTraceOn() { return trace_detail::enabled.load(std::memory_order_relaxed); }

// The trace file to use: `option` (vek-cli's --trace) when not empty, else
// VEK_TRACE from the environment, else empty (no trace).
std::string ChooseTracePath(const std::string& option);

// Starts tracing into `path` (created or truncated, mode 0644; an open trace is
// closed first). A file that cannot be opened gives one warning on standard
// error and no trace: false.
bool StartProtocolTrace(const std::string& path);

// Writes the closing line and closes the file; nothing when no trace is open.
void StopProtocolTrace();

// The hooks. Each does nothing when tracing is off; callers on hot paths test
// ProtocolTraceOn() first.
void TraceSent(const uint8_t* bytes, size_t count, std::string_view note = {});
void TraceReceived(const uint8_t* bytes, size_t count, std::string_view note = {});
// As text when every byte is printable ASCII or \r \n \t, else in hex.
void TraceSentTextOrBytes(const uint8_t* bytes, size_t count, std::string_view note = {});
void TraceReceivedTextOrBytes(const uint8_t* bytes, size_t count, std::string_view note = {});
void TraceStatus(std::string_view text);
void TraceMessageBox(std::string_view caption, std::string_view text);

// `text` escaped as described above (one line).
std::string EscapeTraceText(std::string_view text);

}  // namespace vek
