#include "records/SqlStore.h"

namespace qv::records {

bool TSqlStore::WriteMany(const std::vector<TUnitRecord>& records, std::string& why) {
  if (!FUpkeep && !Open(why)) return false;
  if (records.size() > 1) Bulk();
  if (FUpkeep->Write(records)) {
    if (FBehind) FBehind = !FUpkeep->Slice();
    return true;
  }
  why = Words(*FSql, FUpkeep->Error());
  // A database that failed once is opened afresh next time: it may have
  // been replaced, repaired or unlocked meanwhile.
  Close();
  return false;
}

bool TSqlStore::Upgrade(std::string& why, const std::function<void(int64_t left)>& progress) {
  if (!FUpkeep && !Open(why)) return false;
  if (!FUpkeep->Finish(progress)) {
    why = Words(*FSql, FUpkeep->Error());
    return false;
  }
  FBehind = false;
  return true;
}

void TSqlStore::Opened(std::unique_ptr<TSql> sql) {
  FSql = std::move(sql);
  FUpkeep = std::make_unique<TUpkeep>(*FSql);
  FBehind = true;
}

void TSqlStore::Closing() {
  FUpkeep.reset();
  FSql.reset();
}

}  // namespace qv::records
