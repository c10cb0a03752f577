// qvpack: writes a copy of the program file that carries its firmware, its
// caption and its window options, so that the production floor runs it
// without any firmware files.

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "firmware/Payload.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// In payload order; the labels are the ones the program's messages use.
constexpr std::array<const char*, 5> kInputLabels = {
    "RF modem firmware", "Quorvantis firmware", "Server firmware", "Quorvantis test firmware", "Server test firmware",
};

const char kHelp[] =
    "Usage: qvpack --program IN --out OUT --caption TEXT\n"
    "              --input1 F1 --input2 F2 --input3 F3 --input4 F4 --input5 F5\n"
    "              [--golden-handheld] [--analysis-checked] [--analysis-shown]\n"
    "\n"
    "Writes OUT: a copy of the program file IN that carries the window caption\n"
    "TEXT, the five firmware inputs and the flags below. The program then takes\n"
    "all its firmware from itself and hides the file choices.\n"
    "\n"
    "Firmware inputs, in this order:\n"
    "  --input1 F   RF modem firmware         (QPF package or raw .BIN)\n"
    "  --input2 F   Quorvantis firmware       (QPF package or raw .BIN)\n"
    "  --input3 F   Server firmware           (Intel HEX or SFF package)\n"
    "  --input4 F   Quorvantis test firmware  (QPF package or raw .BIN)\n"
    "  --input5 F   Server test firmware      (Intel HEX or SFF package)\n"
    "\n"
    "Flags:\n"
    "  --golden-handheld    the golden reference is the handheld, the server is\n"
    "                       tuned; the golden-reference choice is shown (bit 1)\n"
    "  --analysis-checked   \"analysis only\" starts checked (bit 2)\n"
    "  --analysis-shown     \"analysis only\" is shown (bit 3)\n"
    "\n"
    "IN must be a plain build (one that carries no payload yet). OUT is written\n"
    "under a temporary name and renamed when complete; it keeps IN's execute\n"
    "permission. Options take their value as the next argument or after '='.\n"
    "\n"
    "  --help       show this text and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Exit status: 0 written, 1 a file could not be read, packed or written,\n"
    "2 wrong usage.\n";

struct TOptions {
  std::optional<std::string> Program;
  std::optional<std::string> Out;
  std::optional<std::string> Caption;
  std::array<std::optional<std::string>, 5> Inputs;
  uint8_t Flags = 0;
  bool Help = false;
  bool Version = false;
};

int UsageError(const std::string& message) {
  std::cerr << "qvpack: " << message << "\nTry 'qvpack --help'.\n";
  return kExitUsage;
}

// Returns an empty text when the arguments are fine, else what is wrong.
std::string ParseArgs(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.Help = true;
      continue;
    }
    if (arg == "--version") {
      options.Version = true;
      continue;
    }
    if (arg == "--golden-handheld") {
      options.Flags |= qv::pfGoldenIsHandheld;
      continue;
    }
    if (arg == "--analysis-checked") {
      options.Flags |= qv::pfAnalysisChecked;
      continue;
    }
    if (arg == "--analysis-shown") {
      options.Flags |= qv::pfAnalysisShown;
      continue;
    }

    std::optional<std::string> value;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    std::optional<std::string>* slot = nullptr;
    if (arg == "--program")
      slot = &options.Program;
    else if (arg == "--out")
      slot = &options.Out;
    else if (arg == "--caption")
      slot = &options.Caption;
    else if (arg.size() == 8 && arg.rfind("--input", 0) == 0 && arg[7] >= '1' && arg[7] <= '5')
      slot = &options.Inputs[static_cast<size_t>(arg[7] - '1')];
    if (slot == nullptr) return "unknown argument '" + arg + "'";
    if (!value) {
      if (i + 1 >= argc) return "option '" + arg + "' needs a value";
      value = argv[++i];
    }
    if (*slot) return "option '" + arg + "' given twice";
    *slot = std::move(value);
  }
  if (options.Help || options.Version) return {};

  std::string missing;
  const auto need = [&missing](const std::optional<std::string>& v, const std::string& name) {
    if (!v) missing += (missing.empty() ? "" : ", ") + name;
  };
  need(options.Program, "--program");
  need(options.Out, "--out");
  need(options.Caption, "--caption");
  for (size_t k = 0; k < options.Inputs.size(); ++k) need(options.Inputs[k], "--input" + std::to_string(k + 1));
  if (!missing.empty()) return "missing " + missing;
  if (options.Program->empty() || options.Out->empty()) return "empty file name";
  for (const auto& input : options.Inputs)
    if (input->empty()) return "empty file name";
  return {};
}

// Reads the whole file; on failure returns the system's reason.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& reason) {
  bytes.clear();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    reason = std::strerror(errno);
    return false;
  }
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, n);
  const bool failed = std::ferror(file) != 0;
  const int err = errno;
  std::fclose(file);
  if (failed) {
    reason = err != 0 ? std::strerror(err) : "read error";
    return false;
  }
  return true;
}

// Creates a new file beside path that no one else uses.
std::FILE* CreateTemporary(const std::string& path, std::string& tempPath) {
  std::random_device rd;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".qvpack-%08x", static_cast<unsigned>(rd()));
    tempPath = path + suffix;
    // "x": fail rather than overwrite something that happens to carry the name.
    if (std::FILE* file = std::fopen(tempPath.c_str(), "wbx")) return file;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

bool WriteOutput(const std::string& outPath, const std::string& bytes, fs::perms programPerms, std::string& reason) {
  std::string tempPath;
  std::FILE* file = CreateTemporary(outPath, tempPath);
  if (file == nullptr) {
    reason = std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  int err = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    err = errno;
  }
  std::error_code ec;
  if (ok) {
    // The packed program is meant to be started like the original one.
    const fs::perms exec = programPerms & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    if (exec != fs::perms::none) fs::permissions(tempPath, exec, fs::perm_options::add, ec);
    if (ec) {
      ok = false;
      reason = ec.message();
    }
  } else {
    reason = err != 0 ? std::strerror(err) : "write error";
  }
  if (ok) {
    fs::rename(tempPath, outPath, ec);
    if (ec) {
      ok = false;
      reason = ec.message();
    }
  }
  if (!ok) fs::remove(tempPath, ec);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (const std::string problem = ParseArgs(argc, argv, options); !problem.empty()) return UsageError(problem);
  if (options.Help) {
    std::cout << kHelp;
    return 0;
  }
  if (options.Version) {
    std::cout << "qvpack " QV_VERSION "\n";
    return 0;
  }

  // Every file is tried before giving up, so that one run names every problem.
  bool readOk = true;
  std::string program;
  std::string reason;
  if (!ReadWholeFile(*options.Program, program, reason)) {
    std::cerr << "qvpack: cannot read program file \"" << *options.Program << "\": " << reason << "\n";
    readOk = false;
  }
  std::array<std::string, 5> inputs;
  for (size_t k = 0; k < inputs.size(); ++k) {
    if (!ReadWholeFile(*options.Inputs[k], inputs[k], reason)) {
      std::cerr << "qvpack: cannot read " << kInputLabels[k] << " file \"" << *options.Inputs[k] << "\": " << reason
                << "\n";
      readOk = false;
    }
  }
  if (!readOk) return kExitFailure;

  std::error_code ec;
  const fs::perms programPerms = fs::status(*options.Program, ec).permissions();
  if (ec) {
    std::cerr << "qvpack: cannot read program file \"" << *options.Program << "\": " << ec.message() << "\n";
    return kExitFailure;
  }

  std::string payload;
  std::string packed;
  std::string error;
  qv::TPayloadInputs views;
  for (size_t k = 0; k < inputs.size(); ++k) views[k] = inputs[k];
  if (!qv::BuildPayload(*options.Caption, views, options.Flags, payload, error)) {
    std::cerr << "qvpack: cannot build the payload: " << error << "\n";
    return kExitFailure;
  }
  if (!qv::AppendPayload(program, payload, packed, error)) {
    std::cerr << "qvpack: cannot pack \"" << *options.Program << "\": " << error << "\n";
    return kExitFailure;
  }
  if (!WriteOutput(*options.Out, packed, programPerms, reason)) {
    std::cerr << "qvpack: cannot write \"" << *options.Out << "\": " << reason << "\n";
    return kExitFailure;
  }

  char flags[8];
  std::snprintf(flags, sizeof flags, "0x%02X", options.Flags);
  std::cout << "qvpack: wrote \"" << *options.Out << "\": " << packed.size() << " bytes, payload of " << payload.size()
            << " bytes at offset " << program.size() << ", flags " << flags << "\n";
  return 0;
}
