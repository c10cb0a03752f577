// What the database keeps beside the records (Schema.h: kDerived and
// kCounts), kept up inside the caller's transaction, once for both
// databases: each record's part in the counts that qvstats reads its figures
// from, the running mean of its golden reference's last kGoldenWindow
// results, and, for a record that a writer of an earlier schema version
// left, its transcript compressed in the column of this version. A record
// is brought up exactly once: its derived values, its counts and the mark
// that it has them (record_version) commit together.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "records/Record.h"
#include "records/Sql.h"

namespace qv::records {

class TUpkeep {
 public:
  explicit TUpkeep(TSql& sql) : FSql(sql) {}

  // Inserts the records in their order (one whose uid is there already is
  // left as it is) with their derived values.
  bool Insert(const std::vector<TUnitRecord>& records);
  // Brings up to rows of the records that lack their derived values up,
  // oldest first; more tells whether any are left.
  bool CatchUp(int rows, bool& more);
  // The records that lack their derived values.
  bool Behind(int64_t& count);

  // Each in transactions of its own (SQLite's taken for writing at once):
  // the records in one; every record left behind, a batch in each,
  // progress getting the records left after each (and, on PostgreSQL, the
  // planner's statistics brought up after); and those left behind
  // for a tenth of a second, true once none are. A store that keeps
  // writing brings up a large database within days that way, and its
  // writer's thread is never held for long.
  bool Write(const std::vector<TUnitRecord>& records);
  bool Finish(const std::function<void(int64_t left)>& progress);
  bool Slice();

  const std::string& Error() const { return FError; }

 private:
  struct TFacts;
  bool Bring(const std::string& where, const std::vector<TValue>& params, int limit, size_t& got);
  bool Count(const std::vector<TFacts>& rows);
  bool GoldenMeans(const std::vector<TFacts>& rows);
  bool Fail();
  bool Lock(const std::string& golden);
  bool Transaction(const std::function<bool()>& work);

  TSql& FSql;
  std::string FError;
  // Whether the table still has the transcript column of earlier versions
  // (0: not asked yet).
  int FLegacy = 0;
};

}  // namespace qv::records
