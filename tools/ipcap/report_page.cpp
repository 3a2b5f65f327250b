#include "report_page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "frame_recorder.h"

namespace ipcap {

namespace {

constexpr int kWidth = 900;
constexpr int kHeight = 200;
constexpr int kLeft = 60;
constexpr int kRight = 10;
constexpr int kTop = 25;
constexpr int kBottom = 30;
constexpr size_t kHistogramBuckets = 24;
// A gap longer than this many median intervals counts as lost frames.
constexpr double kLossGapFactor = 1.5;
const char* const kColors[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#17becf"};
constexpr const char* kErrorColor = "#d62728";
constexpr const char* kInfoColor = "#bbbbbb";
constexpr const char* kErrorLevel = "[error 1]";

struct Series {
  std::string name;
  std::vector<double> values;  // one per second of the time axis
};

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

const char* Color(size_t i) { return kColors[i % (sizeof kColors / sizeof kColors[0])]; }

double PlotX(double seconds, double duration) {
  return kLeft + seconds / duration * (kWidth - kLeft - kRight);
}

double PlotY(double value, double top, double bottom = 0) {
  return kTop + (top - value) / (top - bottom) * (kHeight - kTop - kBottom);
}

// The frame of a chart: title, axes with their end values, legend.
std::string ChartOpen(const std::string& id, const std::string& title, double top,
                      const std::string& xLabel, const std::vector<std::string>& legend,
                      double bottom = 0) {
  std::ostringstream s;
  s << "<svg class=\"chart\" id=\"" << id << "\" xmlns=\"http://www.w3.org/2000/svg\" width=\""
    << kWidth << "\" height=\"" << kHeight << "\" viewBox=\"0 0 " << kWidth << " " << kHeight
    << "\">\n<text x=\"" << kLeft << "\" y=\"16\" font-weight=\"bold\">" << Escape(title)
    << "</text>\n<line x1=\"" << kLeft << "\" y1=\"" << kHeight - kBottom << "\" x2=\""
    << kWidth - kRight << "\" y2=\"" << kHeight - kBottom << "\" stroke=\"black\"/>\n<line x1=\""
    << kLeft << "\" y1=\"" << kTop << "\" x2=\"" << kLeft << "\" y2=\"" << kHeight - kBottom
    << "\" stroke=\"black\"/>\n<text x=\"" << kLeft - 4 << "\" y=\"" << kTop + 4
    << "\" text-anchor=\"end\">" << Number(top) << "</text>\n<text x=\"" << kLeft - 4 << "\" y=\""
    << kHeight - kBottom << "\" text-anchor=\"end\">" << Number(bottom) << "</text>\n<text x=\""
    << kWidth - kRight << "\" y=\"" << kHeight - 8 << "\" text-anchor=\"end\">" << Escape(xLabel)
    << "</text>\n";
  for (size_t i = 0; i < legend.size(); ++i) {
    s << "<text x=\"" << kWidth - kRight - 120 * (legend.size() - i) << "\" y=\"16\" fill=\""
      << Color(i) << "\">" << Escape(legend[i]) << "</text>\n";
  }
  return s.str();
}

// Log lines as vertical marks across a time chart, errors in red.
std::string LogMarks(const std::vector<LogLine>& log, int64_t startMs, double duration) {
  std::ostringstream s;
  for (const LogLine& line : log) {
    const double x = PlotX((line.timeMs - startMs) / 1000.0, duration);
    s << "<line class=\"log-mark\" x1=\"" << Number(x) << "\" y1=\"" << kTop << "\" x2=\""
      << Number(x) << "\" y2=\"" << kHeight - kBottom << "\" stroke=\""
      << (line.error ? kErrorColor : kInfoColor) << "\"><title>" << Escape(line.text)
      << "</title></line>\n";
  }
  return s.str();
}

std::string TimeChart(const std::string& id, const std::string& title,
                      const std::vector<Series>& series, const std::vector<LogLine>& log,
                      int64_t startMs, double duration) {
  double top = 1, bottom = 0;
  std::vector<std::string> legend;
  for (const Series& one : series) {
    legend.push_back(one.name);
    for (double v : one.values) {
      top = std::max(top, v);
      bottom = std::min(bottom, v);
    }
  }
  std::string svg = ChartOpen(id, title, top, Number(duration) + " s", legend, bottom);
  svg += LogMarks(log, startMs, duration);
  for (size_t i = 0; i < series.size(); ++i) {
    std::ostringstream points;
    for (size_t second = 0; second < series[i].values.size(); ++second) {
      points << Number(PlotX(second + 0.5, duration)) << ","
             << Number(PlotY(series[i].values[second], top, bottom)) << " ";
    }
    svg += "<polyline fill=\"none\" stroke=\"" + std::string(Color(i)) + "\" points=\"" +
           points.str() + "\"/>\n";
  }
  return svg + "</svg>\n";
}

double MedianInterval(const std::vector<IndexedFrame>& frames) {
  std::vector<int64_t> intervals;
  for (size_t i = 1; i < frames.size(); ++i) {
    const int64_t d = frames[i].timeMs - frames[i - 1].timeMs;
    if (d > 0) intervals.push_back(d);
  }
  if (intervals.empty()) return 0;
  std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
  return double(intervals[intervals.size() / 2]);
}

std::string HistogramChart(const std::vector<IndexedStream>& streams) {
  double median = 0;
  for (const IndexedStream& s : streams) median = std::max(median, MedianInterval(s.frames));
  const double bucket = std::max(1.0, std::round(median * 3 / kHistogramBuckets));
  std::vector<std::vector<double>> counts(streams.size(),
                                          std::vector<double>(kHistogramBuckets + 1, 0));
  double top = 1;
  std::vector<std::string> legend;
  for (size_t i = 0; i < streams.size(); ++i) {
    legend.push_back(streams[i].name);
    const std::vector<IndexedFrame>& f = streams[i].frames;
    for (size_t k = 1; k < f.size(); ++k) {
      const double d = double(std::max<int64_t>(0, f[k].timeMs - f[k - 1].timeMs));
      double& n = counts[i][std::min(kHistogramBuckets, size_t(d / bucket))];
      top = std::max(top, ++n);
    }
  }
  std::string svg =
      ChartOpen("frame-intervals", "Frame intervals (frames per interval)", top,
                "interval, " + Number(bucket) + " ms per bar; last bar: longer", legend);
  const double slot = double(kWidth - kLeft - kRight) / (kHistogramBuckets + 1);
  const double barWidth = slot / double(std::max<size_t>(1, streams.size()));
  for (size_t i = 0; i < streams.size(); ++i) {
    for (size_t b = 0; b <= kHistogramBuckets; ++b) {
      const double y = PlotY(counts[i][b], top);
      svg += "<rect x=\"" + Number(kLeft + b * slot + i * barWidth) + "\" y=\"" + Number(y) +
             "\" width=\"" + Number(barWidth) + "\" height=\"" + Number(kHeight - kBottom - y) +
             "\" fill=\"" + Color(i) + "\"><title>" + Number(b * bucket) +
             " ms: " + Number(counts[i][b]) + "</title></rect>\n";
    }
  }
  return svg + "</svg>\n";
}

// The per-second figures of one stream.
struct StreamSeconds {
  Series fps, kbps, delay, lost;
};

StreamSeconds PerSecond(const IndexedStream& stream, int64_t startMs, size_t seconds) {
  StreamSeconds out;
  out.fps = {stream.name, std::vector<double>(seconds, 0)};
  out.kbps = {stream.name, std::vector<double>(seconds, 0)};
  out.delay = {stream.name, std::vector<double>(seconds, 0)};
  out.lost = {stream.name, std::vector<double>(seconds, 0)};
  std::vector<double> delaySum(seconds, 0);
  const double median = MedianInterval(stream.frames);
  for (size_t i = 0; i < stream.frames.size(); ++i) {
    const IndexedFrame& f = stream.frames[i];
    const size_t second =
        std::min(seconds - 1, size_t(std::max<int64_t>(0, f.timeMs - startMs) / 1000));
    out.fps.values[second] += 1;
    out.kbps.values[second] += double(f.bytes) * 8 / 1000;
    delaySum[second] += double(f.receivedMs - f.timeMs);
    if (i == 0 || median <= 0) continue;
    const double gap = double(f.timeMs - stream.frames[i - 1].timeMs);
    if (gap > kLossGapFactor * median) out.lost.values[second] += std::round(gap / median) - 1;
  }
  for (size_t s = 0; s < seconds; ++s) {
    if (out.fps.values[s] > 0) out.delay.values[s] = delaySum[s] / out.fps.values[s];
  }
  return out;
}

std::string LogTable(const std::vector<LogLine>& log, int64_t startMs) {
  std::string html = "<table id=\"log\"><tr><th>s</th><th>line</th></tr>\n";
  for (const LogLine& line : log) {
    html += std::string("<tr") + (line.error ? " class=\"error\"" : "") + "><td>" +
            Number((line.timeMs - startMs) / 1000.0) + "</td><td>" + Escape(line.text) +
            "</td></tr>\n";
  }
  return html + "</table>\n";
}

}  // namespace

bool ParseUtcText(const std::string& text, int64_t* ms) {
  unsigned y, mo, d, h, mi, s, milli;
  if (text.size() != 24 || text.back() != 'Z' ||
      std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u.%3u", &y, &mo, &d, &h, &mi, &s, &milli) !=
          7 ||
      mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
    return false;
  }
  quenlix::SYSTEMTIME t{};
  t.wYear = uint16_t(y);
  t.wMonth = uint16_t(mo);
  t.wDay = uint16_t(d);
  t.wHour = uint16_t(h);
  t.wMinute = uint16_t(mi);
  t.wSecond = uint16_t(s);
  t.wMilliseconds = uint16_t(milli);
  *ms = UtcMilliseconds(t);
  return true;
}

IndexedStream ReadIndexFile(const std::string& path, const std::string& name) {
  IndexedStream stream{name, {}};
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string time, type, received;
    IndexedFrame f;
    uint32_t width = 0, height = 0;
    if (!(fields >> time >> type >> f.bytes >> width >> height >> received)) continue;
    if (!ParseUtcText(received, &f.receivedMs)) continue;
    if (!ParseUtcText(time, &f.timeMs)) f.timeMs = f.receivedMs;
    f.key = type == "H264" || type == "DIVX" || type == "JPEG";
    stream.frames.push_back(f);
  }
  return stream;
}

std::vector<LogLine> ReadLogFile(const std::string& path) {
  std::vector<LogLine> log;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    LogLine entry;
    if (space == std::string::npos || !ParseUtcText(line.substr(0, space), &entry.timeMs)) continue;
    entry.text = line.substr(space + 1);
    entry.error =
        entry.text.compare(0, std::char_traits<char>::length(kErrorLevel), kErrorLevel) == 0;
    log.push_back(entry);
  }
  return log;
}

std::string ReportPage(const std::string& title, const std::vector<IndexedStream>& streams,
                       const std::vector<LogLine>& log) {
  int64_t startMs = INT64_MAX, endMs = INT64_MIN;
  for (const IndexedStream& s : streams) {
    for (const IndexedFrame& f : s.frames) {
      startMs = std::min(startMs, f.timeMs);
      endMs = std::max(endMs, f.timeMs);
    }
  }
  for (const LogLine& line : log) {
    startMs = std::min(startMs, line.timeMs);
    endMs = std::max(endMs, line.timeMs);
  }
  if (startMs > endMs) startMs = endMs = 0;
  const size_t seconds = size_t((endMs - startMs) / 1000) + 1;
  const double duration = double(seconds);
  std::vector<Series> fps, kbps, delay, lost;
  std::string summary;
  for (const IndexedStream& s : streams) {
    StreamSeconds per = PerSecond(s, startMs, seconds);
    double lostTotal = 0;
    for (double v : per.lost.values) lostTotal += v;
    summary += "<li>" + Escape(s.name) + ": " + std::to_string(s.frames.size()) + " frames, " +
               Number(lostTotal) + " estimated lost</li>\n";
    fps.push_back(std::move(per.fps));
    kbps.push_back(std::move(per.kbps));
    delay.push_back(std::move(per.delay));
    lost.push_back(std::move(per.lost));
  }
  size_t errors = 0;
  for (const LogLine& line : log) errors += line.error ? 1 : 0;
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Escape(title) +
      "</title>\n<style>body{font-family:sans-serif;margin:1em}svg{display:block;margin:1em 0}"
      "text{font-size:12px}td{padding:0 .5em;font-family:monospace;font-size:12px}"
      "tr.error{color:" +
      std::string(kErrorColor) + "}</style></head>\n<body>\n<h1>" + Escape(title) +
      "</h1>\n<p>Time axis: seconds from the first frame or log line; grey "
      "marks are the driver's log lines, red ones its errors (hover for the text). Lost frames "
      "are estimated from gaps in the frame times.</p>\n<ul>" +
      summary + "<li>" + std::to_string(log.size()) + " log line(s), " + std::to_string(errors) +
      " error(s)</li></ul>\n";
  html += TimeChart("frame-rate", "Frame rate (frames/s)", fps, log, startMs, duration);
  html += TimeChart("bit-rate", "Bit rate (kbit/s)", kbps, log, startMs, duration);
  html += TimeChart("arrival-delay", "Arrival minus frame time (ms, mean per second)", delay, log,
                    startMs, duration);
  html += TimeChart("lost-frames", "Lost frames (per second)", lost, log, startMs, duration);
  html += HistogramChart(streams);
  html += "<h2>Driver log</h2>\n" + LogTable(log, startMs);
  // Lets a test (or a curious reader) see that a browser drew the charts.
  html +=
      "<script>document.body.dataset.charts = document.querySelectorAll("
      "'svg.chart').length;</script>\n</body></html>\n";
  return html;
}

}  // namespace ipcap
