// The HTML page of ipcap report: a recording's indexes and driver log drawn
// as inline SVG charts on one time axis, with nothing loaded from elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ipcap {

struct IndexedFrame {
  int64_t timeMs = 0;      // frame time, UTC ms since 1970
  int64_t receivedMs = 0;  // arrival time
  uint64_t bytes = 0;
  bool key = false;
};

struct IndexedStream {
  std::string name;  // "stream0"
  std::vector<IndexedFrame> frames;
};

struct LogLine {
  int64_t timeMs = 0;
  bool error = false;
  std::string text;
};

// One index file's frames; lines that do not parse are skipped.
IndexedStream ReadIndexFile(const std::string& path, const std::string& name);
// driver.log's lines ("<UTC time> [level N] text").
std::vector<LogLine> ReadLogFile(const std::string& path);
// "YYYY-MM-DDTHH:MM:SS.mmmZ" as UTC ms since 1970; false when malformed.
bool ParseUtcText(const std::string& text, int64_t* ms);

std::string ReportPage(const std::string& title, const std::vector<IndexedStream>& streams,
                       const std::vector<LogLine>& log);

}  // namespace ipcap
