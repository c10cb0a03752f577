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

const char kUsage[] = "usage: qvfirm --out DIR [--settings FILE]\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

const char kHelp[] =
    "Writes the device bench's firmware files, the set a new station needs to run a unit\n"
    "against the bench without choosing a file.\n"
    "\n"
    "  --out DIR        the folder for the test firmware files the tool reads beside\n"
    "                   itself (qvftune.qpf, srvftune.sff) and the production files\n"
    "                   qvmodem.qpf, qvhandheld.qpf, qvserver.hex and qvserver.sff\n"
    "  --settings FILE  a settings file to create with the production files in its\n"
    "                   firmware histories, when it does not exist yet (an existing one\n"
    "                   is never touched)\n"
    "  --help           show this text and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "Exit status: 0 written, 1 a file could not be written, 2 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string dir, settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("qvfirm %s\n", QV_VERSION);
      return 0;
    }
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
