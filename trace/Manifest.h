// The firmware manifest: the approved firmware files with their SHA-256, in
// the format sha256sum writes and checks (the hash, two blanks or a blank
// and '*', the file name). With a manifest an input is accepted only when a
// line names its file (by the last part of its name) with its hash.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "procedure/MainIntf.h"

namespace qv::trace {

class TManifest {
 public:
  // False, with "FILE, line N: reason", for a file that cannot be read or
  // holds a line of another form. Blank lines and lines starting with '#'
  // are passed over.
  bool Read(const std::string& path, std::string& error);
  // "" when the manifest accepts the file of that name with that hash,
  // otherwise why not.
  std::string Refusal(const std::string& name, const std::string& sha256) const;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
  // Name (the last part) -> the hashes listed for it.
  std::map<std::string, std::vector<std::string>> FFiles;
};

// The check the front ends give the worker: every input's SHA-256, and,
// with a manifest, the refusal of a file it does not list with that hash;
// problems are what keeps the inputs from being used at all.
std::shared_ptr<TFirmwareCheck> FirmwareCheck(std::shared_ptr<const TManifest> manifest,
                                              std::vector<std::string> problems = {});

}  // namespace qv::trace
