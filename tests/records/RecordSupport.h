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
  records::TUnitRecord r;
  r.Uid = uid;
  r.TimeUtc = "2026-12-09T08:15:02.123Z";
  r.Station = "line-3";
  r.Tool = "qvline 0.1";
  r.DongleId = "QV0DONGLE0000001";
  r.HandheldMac = "0x00A1B2C3";
  r.Golden = "server";
  r.GoldenId = "RFQVSERVER000123";
  r.GoldenOffset = -4;
  r.FactoryOffset = 12;
  r.StoredOffset = -37;
  r.ResultOffset = -37;
  r.TrialOffsets = "0,50,-37";
  r.RssiAvg = 181.0;
  r.AfcMean = -0.375;
  r.Cycles = 3;
  r.Outcome = "success";
  r.Transcript = ">Dongle found\r1<128\r1>33\r\ttab \\ back\nslash \xE9t\xE9\r";
  return r;
}

// The units table as a writer of that earlier schema version made it.
inline std::string EarlierUnitsTable(int version, const records::TSqlTypes& types) {
  std::string create = std::string("CREATE TABLE units (id ") + types.Id;
  for (const records::TColumnInfo& c : records::kColumns) {
    if (!records::InVersion(c, version)) continue;
    create += std::string(", ") + c.Name + " " +
              (c.Type == records::ctText      ? types.Text
               : c.Type == records::ctInteger ? types.Integer
                                              : types.Real) +
              (c.NotNull ? " NOT NULL" : "") + (std::string(c.Name) == "record_uid" ? " UNIQUE" : "");
  }
  return create + ")";
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
