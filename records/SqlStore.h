// What the SQLite and the PostgreSQL store share: their writes and their
// upgrade over TSql, with the upkeep of the records an earlier version left
// in between. Each store opens and closes its own database.
#pragma once

#include <memory>

#include "records/Sql.h"
#include "records/Store.h"
#include "records/Upkeep.h"

namespace qv::records {

class TSqlStore : public TRecordStore {
 public:
  bool Write(const TUnitRecord& record, std::string& why) final { return WriteMany({record}, why); }
  bool WriteMany(const std::vector<TUnitRecord>& records, std::string& why) final;
  bool Upgrade(std::string& why, const std::function<void(int64_t left)>& progress) final;

 protected:
  // Opens the database, brought to this schema version, and hands its
  // connection to Opened; false with why when it cannot.
  virtual bool Open(std::string& why) = 0;
  // Calls Closing, then closes the database.
  virtual void Close() = 0;
  // Before a write of many records.
  virtual void Bulk() {}
  // A failure in words the operator acts on, from the database's codes.
  virtual std::string Words(const TSql& /*sql*/, const std::string& why) const { return why; }
  void Opened(std::unique_ptr<TSql> sql);
  void Closing();

 private:
  std::unique_ptr<TSql> FSql;
  std::unique_ptr<TUpkeep> FUpkeep;
  // Records of an earlier version may be left to bring up.
  bool FBehind = false;
};

}  // namespace qv::records
