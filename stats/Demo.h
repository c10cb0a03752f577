// Records to look at before a line has run for weeks, and for the
// benchmark: units as the worker reports them (TUnitResult), made records
// by the tools' own RecordOfUnit and written by the records' own store.
// Several stations each with its golden server, one of which drifts; a
// rework station tuning servers against a golden handheld; failures with
// the worker's own reasons, more of them at a station with a poor antenna;
// handhelds that failed and came back; a new handheld firmware file for the
// last quarter of the units; short transcripts of the message
// lines only, so that ten million records fit on a disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "records/Store.h"

namespace qv {

struct TDemoOptions {
  int64_t Units = 2000;
  uint64_t Seed = 1;
  // The day of the last units (YYYY-MM-DD); empty: yesterday, UTC. The
  // units before it lie on the days before, 06:00 to 22:00 UTC, one every
  // two minutes or so at each station.
  std::string LastDay;
};

// The stations the demo's units are spread over.
int DemoStations(int64_t units);

// Writes the units to the store a batch at a time; progress, when set,
// gets the units written so far. False with why when the store refuses.
bool WriteDemo(records::TRecordStore& store, const TDemoOptions& options, std::string& why,
               const std::function<void(int64_t written)>& progress = nullptr);

}  // namespace qv
