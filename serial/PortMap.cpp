#include "PortMap.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace qv {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsUnfitForAName(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u <= ' ' || u == 0x7F;
}

std::string Trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

struct TConfigStore {
  std::mutex Lock;
  TComEnumConfig Config;
};

TConfigStore& ConfigStore() {
  static TConfigStore store;
  return store;
}

std::string DirOf(const std::string& path, const std::string& separators) {
  size_t cut = path.find_last_of(separators);
  if (cut == std::string::npos) return std::string();
  return path.substr(0, cut + 1);
}

}  // namespace

TPortMap ParsePortMap(const std::string& text) {
  TPortMap map;
  std::unordered_set<std::string> names;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = Trim(line.substr(0, eq));
    std::string target = Trim(line.substr(eq + 1));
    if (name.empty() || target.empty()) continue;
    // The name travels as DeviceName through combo boxes and the settings
    // file, where blanks and control characters (a CR ends a line there)
    // would not survive.
    if (std::any_of(name.begin(), name.end(), IsUnfitForAName)) continue;
    if (!names.insert(name).second) continue;
    map.push_back({std::move(name), std::move(target)});
  }
  return map;
}

namespace {

// The file's bytes; empty when it cannot be read.
std::string ReadPortMapText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  // Read through the stream, not its buffer: reading a folder throws from
  // the buffer, while the stream only sets badbit.
  std::string text;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) text.append(chunk, static_cast<size_t>(in.gcount()));
  if (in.bad()) return {};
  return text;
}

namespace fs = std::filesystem;

struct TFileStamp {
  bool Exists = false;
  uintmax_t Size = 0;
  fs::file_time_type Changed{};
  bool operator==(const TFileStamp&) const = default;
};

TFileStamp StampOf(const std::string& path) {
  std::error_code ec;
  TFileStamp stamp;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) return stamp;
  stamp.Exists = true;
  stamp.Size = fs::is_regular_file(status) ? fs::file_size(path, ec) : 0;
  stamp.Changed = fs::last_write_time(path, ec);
  return stamp;
}

// File systems keep the time of change coarsely (a clock tick, two seconds
// on FAT): a file rewritten this soon after a reading may show the same
// stamp, so only a stamp older than this is trusted without a look at the
// bytes.
constexpr auto kStampGrain = std::chrono::seconds(3);

// The port map as ResolvePortName last read it. Detection opens every port
// of the list, so a map of many names must not be read again at each open;
// it is read again when its stamp changes or may not tell.
struct TResolveCache {
  std::mutex Lock;
  bool Loaded = false;
  std::string Path;
  TFileStamp Stamp;
  fs::file_time_type ReadAt{};
  std::string Text;
  std::unordered_map<std::string, std::string> Targets;
};

TResolveCache& ResolveCache() {
  static TResolveCache cache;
  return cache;
}

}  // namespace

TPortMap LoadPortMap(const std::string& path) {
  return ParsePortMap(ReadPortMapText(path));
}

TComEnumConfig ComEnumConfig() {
  TConfigStore& store = ConfigStore();
  std::lock_guard<std::mutex> guard(store.Lock);
  return store.Config;
}

void SetComEnumConfig(const TComEnumConfig& config) {
  TConfigStore& store = ConfigStore();
  std::lock_guard<std::mutex> guard(store.Lock);
  store.Config = config;
}

std::string PortMapPath() {
  const TComEnumConfig config = ComEnumConfig();
  if (!config.PortMapPath.empty()) return config.PortMapPath;
  return ProgramDir() + "qvtune.ports";
}

std::string ResolvePortName(const std::string& name) {
  const std::string path = PortMapPath();
  TResolveCache& cache = ResolveCache();
  std::lock_guard<std::mutex> guard(cache.Lock);
  // The stamp is taken before the bytes, so that a change in between makes
  // the next stamp differ instead of hiding behind this one.
  const TFileStamp stamp = StampOf(path);
  const bool trusted = cache.Loaded && cache.Path == path && cache.Stamp == stamp &&
                       (!stamp.Exists || stamp.Changed + kStampGrain < cache.ReadAt);
  if (!trusted) {
    const fs::file_time_type readAt = fs::file_time_type::clock::now();
    std::string text = stamp.Exists ? ReadPortMapText(path) : std::string();
    if (!cache.Loaded || cache.Path != path || text != cache.Text) {
      cache.Targets.clear();
      for (TPortMapEntry& entry : ParsePortMap(text)) cache.Targets.emplace(std::move(entry.Name), std::move(entry.Target));
      cache.Text = std::move(text);
    }
    cache.Loaded = true;
    cache.Path = path;
    cache.Stamp = stamp;
    cache.ReadAt = readAt;
  }
  const auto found = cache.Targets.find(name);
  return found == cache.Targets.end() ? name : found->second;
}

}  // namespace qv

#ifdef _WIN32
#include <windows.h>

std::string qv::ProgramDir() {
  std::string path(32768, '\0');
  DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return ".\\";
  path.resize(n);
  std::string dir = DirOf(path, "\\/");
  return dir.empty() ? ".\\" : dir;
}

#else
#include <unistd.h>

std::string qv::ProgramDir() {
  std::string path(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) return "./";
  path.resize(static_cast<size_t>(n));
  std::string dir = DirOf(path, "/");
  return dir.empty() ? "./" : dir;
}

#endif
