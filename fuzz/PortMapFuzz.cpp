// The port map: ParsePortMap against a reading of the format written here
// from its description alone (serial/PortMap.h, the README).
//
// Input: the text of a port map file.
//
// Properties:
// - the parser gives exactly the entries of the independent reading, in
//   file order;
// - no name twice, no name or target empty or with blanks at its ends, no
//   name with a blank, a control character or '=';
// - the entries written out as NAME=TARGET lines ended by CR LF read back
//   as the same entries (a target may end in a CR of its own).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "serial/PortMap.h"

namespace {

using TPairs = std::vector<std::pair<std::string, std::string>>;

void Require(bool condition) {
  if (!condition) std::abort();
}

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

bool Control(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

std::string Stripped(std::string s) {
  while (!s.empty() && Blank(s.back())) s.pop_back();
  size_t n = 0;
  while (n < s.size() && Blank(s[n])) ++n;
  return s.erase(0, n);
}

// One entry a line: lines end at LF, a CR before it belongs to the line
// end; blank lines and comments ('#' first after blanks) hold nothing; the
// name is before the first '=', the target after it, both without the
// blanks around them; the first entry of a name counts.
TPairs Reading(const std::string& text) {
  TPairs entries;
  std::set<std::string> seen;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = Stripped(line);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = Stripped(line.substr(0, eq));
    std::string target = Stripped(line.substr(eq + 1));
    if (name.empty() || target.empty()) continue;
    bool fit = true;
    for (char c : name) fit = fit && !Blank(c) && !Control(c);
    if (!fit || !seen.insert(name).second) continue;
    entries.emplace_back(std::move(name), std::move(target));
  }
  return entries;
}

TPairs Pairs(const qv::TPortMap& map) {
  TPairs pairs;
  for (const qv::TPortMapEntry& e : map) pairs.emplace_back(e.Name, e.Target);
  return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const TPairs parsed = Pairs(qv::ParsePortMap(text));
  Require(parsed == Reading(text));

  std::set<std::string> names;
  std::string written;
  for (const auto& [name, target] : parsed) {
    Require(names.insert(name).second);
    Require(!target.empty() && !Blank(target.front()) && !Blank(target.back()));
    for (char c : name) Require(!Blank(c) && !Control(c) && c != '=');
    written += name + "=" + target + "\r\n";
  }
  Require(Pairs(qv::ParsePortMap(written)) == parsed);
  return 0;
}
