#include "PortMap.h"

#include <algorithm>
#include <fstream>
#include <mutex>

namespace qv {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
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
    // file, where blanks would not survive.
    if (std::any_of(name.begin(), name.end(), IsBlank)) continue;
    bool known = std::any_of(map.begin(), map.end(), [&](const TPortMapEntry& e) { return e.Name == name; });
    if (known) continue;
    map.push_back({std::move(name), std::move(target)});
  }
  return map;
}

TPortMap LoadPortMap(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  // Read through the stream, not its buffer: reading a folder throws from
  // the buffer, while the stream only sets badbit.
  std::string text;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) text.append(chunk, static_cast<size_t>(in.gcount()));
  if (in.bad()) return {};
  return ParsePortMap(text);
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
  for (const TPortMapEntry& entry : LoadPortMap(PortMapPath())) {
    if (entry.Name == name) return entry.Target;
  }
  return name;
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
