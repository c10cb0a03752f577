// The bench's entries in a port map file (NAME=TARGET lines): added when the
// ports listen, taken out again when the bench stops. Every line the file
// held before stays, comments and the operator's own entries of the same
// names included: ours go in front of them, where the first entry of a name
// wins, and they are in force again once ours are gone.
//
// The file is read as the tool reads it: lines end at LF, one CR before it
// is dropped, blanks (space, TAB) around NAME and TARGET are dropped, blank
// lines and lines starting with '#' are no entries, nor is a line without
// '=', with an empty NAME or TARGET, or with a blank or a control character
// inside NAME.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bench {

using TPortEntries = std::vector<std::pair<std::string, std::string>>;

class TPortsFile {
 public:
  explicit TPortsFile(std::string path) : FPath(std::move(path)) {}

  // Puts the entries in force.
  bool Add(const TPortEntries& entries, std::string& error);
  // Takes out the lines we put in that still hold exactly our entries; a
  // file that held nothing else before we came is removed.
  void Remove();

  const std::string& Path() const { return FPath; }

 private:
  const std::string FPath;
  TPortEntries FAdded;
  bool FCreated = false;
};

// The NAME and TARGET of an entry line (without its LF); false for a line
// that is no entry.
bool ParsePortLine(const std::string& line, std::string& name, std::string& target);

// The lines with the entries put in force: each goes right before the line
// now in force for its name, or at the end when the name has none. An entry
// already in force as it is gets no line. added receives the entries that
// got one.
std::vector<std::string> AddPortLines(const std::vector<std::string>& lines, const TPortEntries& entries,
                                      TPortEntries& added);

// The lines without the first line of each added entry that still holds it.
std::vector<std::string> RemovePortLines(const std::vector<std::string>& lines, const TPortEntries& added);

}  // namespace bench
