// qvbench's editing of the port map: putting its entries in force and
// taking them out again, checked against the tool's own reading.
//
// Input: byte 0 picks the bench's entries (bit 0: COM31's target is the one
// the file already holds for it, when it has one); the rest is the file.
//
// Properties:
// - the bench reads every line as the tool does: an entry with the same
//   name and target, or none;
// - with the entries put in force, the tool resolves the bench's names to
//   the bench's targets and every other name as before;
// - taking them out gives back the file's lines exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/qvbench/PortsFile.h"
#include "serial/PortMap.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// The lines as the bench reads them.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Text(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::map<std::string, std::string> InForce(const std::vector<std::string>& lines) {
  std::map<std::string, std::string> targets;
  for (const qv::TPortMapEntry& e : qv::ParsePortMap(Text(lines))) targets.emplace(e.Name, e.Target);
  return targets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<std::string> lines = Lines(std::string(reinterpret_cast<const char*>(data + 1), size - 1));

  for (const std::string& line : lines) {
    const qv::TPortMap tool = qv::ParsePortMap(line + "\n");
    std::string name, target;
    const bool entry = bench::ParsePortLine(line, name, target);
    Require(entry == (tool.size() == 1));
    Require(!entry || (tool[0].Name == name && tool[0].Target == target));
  }

  const std::map<std::string, std::string> before = InForce(lines);
  bench::TPortEntries entries = {{"COM31", "rfc2217://127.0.0.1:7031"}, {"COM32", "rfc2217://127.0.0.1:7032"}};
  if ((data[0] & 1) != 0 && before.count("COM31") != 0) entries[0].second = before.at("COM31");

  bench::TPortEntries added;
  const std::vector<std::string> running = bench::AddPortLines(lines, entries, added);
  std::map<std::string, std::string> expected = before;
  for (const auto& [name, target] : entries) expected[name] = target;
  Require(InForce(running) == expected);
  Require(bench::RemovePortLines(running, added) == lines);
  return 0;
}
