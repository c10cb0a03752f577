#include "bench/qvbench/PortsFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace bench {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines, bool& exists) {
  std::ifstream in(path, std::ios::binary);
  exists = static_cast<bool>(in);
  if (!in) return true;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return !in.bad();
}

// Written beside the file and renamed over it, so that a reader never sees
// half a file.
bool WriteLines(const std::string& path, const std::vector<std::string>& lines, std::string& error) {
  const std::string temp = path + ".qvbench-" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = std::strerror(errno);
      return false;
    }
    for (const std::string& line : lines) out << line << '\n';
    out.flush();
    if (!out) {
      error = std::strerror(errno);
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    error = std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string PortLineName(const std::string& line) {
  const std::string t = Trim(line);
  if (t.empty() || t[0] == '#') return {};
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return {};
  return Trim(t.substr(0, eq));
}

std::string PortLineTarget(const std::string& line) {
  const size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
}

bool TPortsFile::Add(const TPortEntries& entries, std::string& error) {
  std::vector<std::string> lines;
  bool exists = false;
  if (!ReadLines(FPath, lines, exists)) {
    error = "cannot read the file";
    return false;
  }
  FCreated = !exists;
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    const std::string name = PortLineName(line);
    const bool ours = std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.first == name; });
    if (!ours) kept.push_back(line);
  }
  for (const auto& [name, target] : entries) kept.push_back(name + "=" + target);
  if (!WriteLines(FPath, kept, error)) return false;
  FEntries = entries;
  return true;
}

void TPortsFile::Remove() {
  if (FEntries.empty()) return;
  std::vector<std::string> lines;
  bool exists = false;
  if (!ReadLines(FPath, lines, exists) || !exists) return;
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    const std::string name = PortLineName(line);
    const bool ours = std::any_of(FEntries.begin(), FEntries.end(),
                                  [&](const auto& e) { return e.first == name && e.second == PortLineTarget(line); });
    if (!ours) kept.push_back(line);
  }
  FEntries.clear();
  const bool empty = std::all_of(kept.begin(), kept.end(), [](const std::string& l) { return Trim(l).empty(); });
  if (empty && FCreated) {
    std::remove(FPath.c_str());
    return;
  }
  std::string error;
  WriteLines(FPath, kept, error);
}

}  // namespace bench
