#include "trace/Manifest.h"

#include <filesystem>
#include <fstream>

#include "trace/Sha256.h"

namespace qv::trace {

namespace {

std::string LastPart(const std::string& name) {
  const size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool IsHex64(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

class TCheck final : public TFirmwareCheck {
 public:
  TCheck(std::shared_ptr<const TManifest> manifest, std::vector<std::string> problems)
      : FManifest(std::move(manifest)), FProblems(std::move(problems)) {}
  std::vector<std::string> Problems() const override { return FProblems; }
  bool Check(TFirmwareInput& input, const uint8_t* bytes, size_t size, std::string& why) override {
    input.Sha256 = Sha256Hex(bytes, size);
    if (!FManifest || input.Source == "payload") return true;
    why = FManifest->Refusal(input.Source, input.Sha256);
    return why.empty();
  }

 private:
  std::shared_ptr<const TManifest> FManifest;
  std::vector<std::string> FProblems;
};

}  // namespace

bool TManifest::Read(const std::string& path, std::string& error) {
  FPath = path;
  FFiles.clear();
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = "the firmware manifest \"" + path + "\" " +
            (std::filesystem::exists(path, ec) ? "is not a regular file" : "does not exist");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "the firmware manifest \"" + path + "\" cannot be read";
    return false;
  }
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    // sha256sum: 64 hex digits, a blank, then ' ' (text) or '*' (binary),
    // then the name to the end of the line.
    if (line.size() < 67 || !IsHex64(line.substr(0, 64)) || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')) {
      error = path + ", line " + std::to_string(number) +
              ": not a line of sha256sum (64 hex digits, two blanks, the file name)";
      return false;
    }
    FFiles[LastPart(line.substr(66))].push_back(Lower(line.substr(0, 64)));
  }
  return true;
}

std::string TManifest::Refusal(const std::string& name, const std::string& sha256) const {
  const auto it = FFiles.find(LastPart(name));
  if (it == FFiles.end()) return "not in the firmware manifest " + FPath;
  for (const std::string& hash : it->second)
    if (hash == sha256) return {};
  return "its SHA-256 " + sha256 + " is not the one in the firmware manifest " + FPath;
}

std::shared_ptr<TFirmwareCheck> FirmwareCheck(std::shared_ptr<const TManifest> manifest,
                                              std::vector<std::string> problems) {
  return std::make_shared<TCheck>(std::move(manifest), std::move(problems));
}

}  // namespace qv::trace
