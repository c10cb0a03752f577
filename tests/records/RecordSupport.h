// Records for the writer's tests, and reading a table back.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "records/Record.h"

namespace qv::test {

// A unit's record with a value of every kind, the transcript holding every
// byte the spool must escape and one that is no UTF-8.
inline records::TUnitRecord SampleRecord(const std::string& uid) {
  using namespace records;
  records::TUnitRecord r;
  r[cRecordUid] = uid;
  r[cTimeUtc] = std::string("2026-12-09T08:15:02.123Z");
  r[cStation] = std::string("line-3");
  r[cTool] = std::string("qvline 0.1");
  r[cDongleId] = std::string("QV0DONGLE0000001");
  r[cHandheldMac] = std::string("0x00A1B2C3");
  r[cGolden] = std::string("server");
  r[cGoldenId] = std::string("RFQVSERVER000123");
  r[cGoldenOffset] = int64_t{-4};
  r[cFactoryOffset] = int64_t{12};
  r[cStoredOffset] = int64_t{-37};
  r[cResultOffset] = int64_t{-37};
  r[cTrialOffsets] = std::string("0,50,-37");
  r[cRssiAvg] = 181.0;
  r[cAfcMean] = -0.375;
  r[cCycles] = int64_t{3};
  r[cOutcome] = std::string("success");
  r[cTranscript] = std::string(">Dongle found\r1<128\r1>33\r\ttab \\ back\nslash \xE9t\xE9\r");
  return r;
}

// A fresh folder, removed at the end.
struct TTempDir {
  TTempDir() {
    std::random_device rd;
    Path = std::filesystem::temp_directory_path() / ("qvrecords-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(Path);
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
  std::string File(const std::string& name) const { return (Path / name).string(); }
  std::filesystem::path Path;
};

}  // namespace qv::test
