// qvfirm: writes the bench's firmware files, the set a new station needs to
// run a unit against the bench without choosing a file.
//
//   qvfirm --out DIR [--settings FILE]
//
// DIR receives the two test firmware files the tool reads beside itself
// ("qvftune.qpf", "srvftune.sff") and the production files qvmodem.qpf,
// qvhandheld.qpf and qvserver.hex (and qvserver.sff, the same image as a
// package). The handheld packages hold one image for each hardware version
// the bench's handhelds come in. With --settings, a settings file that does
// not exist yet is created with the production files in the firmware
// histories; an existing one is never touched.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "bench/Firmware.h"

namespace {

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "qvfirm: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec) || ec;
}

int Usage() {
  std::fprintf(stderr, "usage: qvfirm --out DIR [--settings FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--out" || arg == "--settings") && i + 1 < argc) {
      (arg == "--out" ? dir : settings) = argv[++i];
    } else {
      return Usage();
    }
  }
  if (dir.empty()) return Usage();
  if (dir.back() != '/') dir += '/';

  bool ok = true;
  for (const auto& [file, bytes] : bench::StandardFiles()) ok = ok && WriteFile(dir + file, bytes);
  const std::string modemFile = dir + "qvmodem.qpf";
  const std::string handheldFile = dir + "qvhandheld.qpf";
  const std::string serverFile = dir + "qvserver.hex";
  if (ok && !settings.empty() && !Exists(settings)) {
    // Lines 1-4 empty keep the window's design position and size; "S": the
    // handheld is tuned, no restore, no analysis only; ports on auto detect.
    const std::string crlf = "\r\n";
    ok = WriteFile(settings, crlf + crlf + crlf + crlf + "S" + crlf + "Auto detect" + crlf + "Auto detect" + crlf +
                                 modemFile + crlf + handheldFile + crlf + serverFile + crlf);
  }
  return ok ? 0 : 1;
}
