// The entries of a worker's transcript, for the benchmarks that read it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv::benchmarks {

struct TEntry {
  // Where it begins: the transcript's length when it was written.
  size_t At = 0;
  std::string_view Text;
};

// Each entry is ended by a CR alone; a last one without it counts too.
inline std::vector<TEntry> Entries(const std::string& log) {
  std::vector<TEntry> entries;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\r', at);
    if (end == std::string::npos) end = log.size();
    entries.push_back({at, std::string_view(log).substr(at, end - at)});
    at = end + 1;
  }
  return entries;
}

}  // namespace qv::benchmarks
