#include "stream_selection.h"

#include <algorithm>
#include <filesystem>

namespace camsim {

namespace {

constexpr const char* kResolutionKey = "Image.I0.Appearance.Resolution=";
constexpr const char* kUpdateAction = "action=update";

struct NamedSize {
  const char* name;
  const char* pal;
  const char* ntsc;
};

constexpr NamedSize kSizes[] = {
    {"qcif", "176x144", "176x120"},      {"qvga", "320x240", "320x240"},
    {"cif", "352x288", "352x240"},       {"vga", "640x480", "640x480"},
    {"d1", "720x576", "720x480"},        {"720p", "1280x720", "1280x720"},
    {"quadvga", "1280x960", "1280x960"}, {"1080p", "1920x1080", "1920x1080"},
};

struct CodecFiles {
  const char* pathSegment;
  const char* codec;
  const char* extension;
};

// "/h264" also matches the second stream's path, "/h264_2".
constexpr CodecFiles kCodecs[] = {
    {"/h264", "h264", ".h264"}, {"/jpeg", "mjpeg", ".mjpeg"}, {"/mpeg4", "mpeg4", ".m4v"}};

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (true) {
    const size_t comma = text.find(',', at);
    out.push_back(text.substr(at, comma == std::string::npos ? comma : comma - at));
    if (comma == std::string::npos) return out;
    at = comma + 1;
  }
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

const CodecFiles* CodecOf(const std::string& uri) {
  for (const CodecFiles& c : kCodecs) {
    if (uri.find(c.pathSegment) != std::string::npos) return &c;
  }
  return nullptr;
}

}  // namespace

std::string LastResolutionValue(const std::vector<std::string>& requests) {
  for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
    if (it->find(kUpdateAction) == std::string::npos) continue;
    const size_t at = it->find(kResolutionKey);
    if (at == std::string::npos) continue;
    const size_t begin = at + std::char_traits<char>::length(kResolutionKey);
    const size_t end = it->find('&', begin);
    return it->substr(begin, end == std::string::npos ? end : end - begin);
  }
  return std::string();
}

std::string ResolutionNameFor(const std::string& uri, const std::string& value) {
  if (value.empty()) return std::string();
  const std::vector<std::string> entries = SplitCommas(value);
  if (entries.size() == 3) {
    size_t index = 0;
    if (uri.find("/h264_2") != std::string::npos) {
      index = 2;
    } else if (uri.find("/h264") != std::string::npos) {
      index = 1;
    }
    return entries[index] == "disable" ? std::string() : entries[index];
  }
  for (const std::string& e : entries) {
    if (!e.empty() && e != "disable") return e;
  }
  return std::string();
}

std::string SelectClipPath(const std::string& mediaDir, const std::vector<std::string>& requests,
                           const std::string& uri) {
  const CodecFiles* codec = CodecOf(uri);
  if (codec == nullptr) return std::string();
  const std::string prefix = mediaDir + "/camera_" + codec->codec + "_";
  const std::string name = ResolutionNameFor(uri, LastResolutionValue(requests));
  for (const NamedSize& s : kSizes) {
    if (name != s.name) continue;
    for (const char* size : {s.pal, s.ntsc}) {
      const std::string path = prefix + size + codec->extension;
      if (Exists(path)) return path;
    }
  }
  const std::string fallback = prefix + "640x480" + codec->extension;
  if (Exists(fallback)) return fallback;
  std::vector<std::string> any;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(mediaDir, ec)) {
    const std::string path = entry.path().string();
    if (path.rfind(prefix, 0) == 0 && entry.path().extension() == codec->extension) {
      any.push_back(path);
    }
  }
  std::sort(any.begin(), any.end());
  return any.empty() ? std::string() : any.front();
}

}  // namespace camsim
