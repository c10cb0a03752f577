// The bench's entries in a port map file (NAME=TARGET lines): added when the
// ports listen, taken out again when the bench stops. Every other line of
// the file stays as it is, comments included.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bench {

using TPortEntries = std::vector<std::pair<std::string, std::string>>;

class TPortsFile {
 public:
  explicit TPortsFile(std::string path) : FPath(std::move(path)) {}

  // Replaces the lines of the same names by the entries.
  bool Add(const TPortEntries& entries, std::string& error);
  // Takes out the lines that still hold exactly our entries; a file that
  // held nothing else before we came is removed.
  void Remove();

  const std::string& Path() const { return FPath; }

 private:
  const std::string FPath;
  TPortEntries FEntries;
  bool FCreated = false;
};

// The NAME of a NAME=TARGET line, blanks dropped; empty for other lines.
std::string PortLineName(const std::string& line);
std::string PortLineTarget(const std::string& line);

}  // namespace bench
