#include "bench/qvbench/PortsFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace bench {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool IsEmptyLine(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return IsBlank(c) || c == '\r'; });
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

bool ParsePortLine(const std::string& line, std::string& name, std::string& target) {
  std::string t = line;
  if (!t.empty() && t.back() == '\r') t.pop_back();
  t = TrimBlanks(t);
  if (t.empty() || t[0] == '#') return false;
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  name = TrimBlanks(t.substr(0, eq));
  target = TrimBlanks(t.substr(eq + 1));
  // The tool takes no name that a port list or its settings file could not
  // carry.
  const bool unfit = std::any_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= ' ' || u == 0x7F;
  });
  return !name.empty() && !target.empty() && !unfit;
}

std::vector<std::string> AddPortLines(const std::vector<std::string>& lines, const TPortEntries& entries,
                                      TPortEntries& added) {
  added.clear();
  // Where each entry's line goes: before the line in force for its name.
  std::vector<std::vector<std::string>> before(lines.size() + 1);
  for (const auto& [name, target] : entries) {
    size_t at = lines.size();
    std::string lineName, lineTarget;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (ParsePortLine(lines[i], lineName, lineTarget) && lineName == name) {
        at = i;
        break;
      }
    }
    if (at < lines.size() && lineTarget == target) continue;
    before[at].push_back(name + "=" + target);
    added.emplace_back(name, target);
  }
  std::vector<std::string> out;
  for (size_t i = 0; i <= lines.size(); ++i) {
    out.insert(out.end(), before[i].begin(), before[i].end());
    if (i < lines.size()) out.push_back(lines[i]);
  }
  return out;
}

std::vector<std::string> RemovePortLines(const std::vector<std::string>& lines, const TPortEntries& added) {
  std::vector<bool> drop(lines.size(), false);
  for (const auto& [name, target] : added) {
    std::string lineName, lineTarget;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (!drop[i] && ParsePortLine(lines[i], lineName, lineTarget) && lineName == name && lineTarget == target) {
        drop[i] = true;
        break;
      }
    }
  }
  std::vector<std::string> out;
  for (size_t i = 0; i < lines.size(); ++i)
    if (!drop[i]) out.push_back(lines[i]);
  return out;
}

bool TPortsFile::Add(const TPortEntries& entries, std::string& error) {
  std::vector<std::string> lines;
  bool exists = false;
  if (!ReadLines(FPath, lines, exists)) {
    error = "cannot read the file";
    return false;
  }
  FCreated = !exists;
  TPortEntries added;
  const std::vector<std::string> out = AddPortLines(lines, entries, added);
  if (added.empty()) return true;
  if (!WriteLines(FPath, out, error)) return false;
  FAdded = std::move(added);
  return true;
}

void TPortsFile::Remove() {
  if (FAdded.empty()) return;
  std::vector<std::string> lines;
  bool exists = false;
  if (!ReadLines(FPath, lines, exists) || !exists) return;
  const std::vector<std::string> kept = RemovePortLines(lines, FAdded);
  FAdded.clear();
  if (kept.size() == lines.size()) return;
  if (FCreated && std::all_of(kept.begin(), kept.end(), IsEmptyLine)) {
    std::remove(FPath.c_str());
    return;
  }
  std::string error;
  WriteLines(FPath, kept, error);
}

}  // namespace bench
