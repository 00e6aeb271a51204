#include "store_repair.h"

#include <reg_storage.h>

#include "fsck/crash_repair.h"
#include "store_lock.h"

namespace tool {

// A push writes its index entry just before its body, and must not see it removed in between;
// nor may a commit put a blob back while its damaged file goes.
bool repair_store(const std::string& root, std::string& report, std::string& error) {
  StoreLock lock;
  if (!lock.acquire_exclusive(root, error)) return false;
  reg::StoreRepair r;
  if (!reg::repair_store(r)) {
    error = reg_storage_last_error();
    return false;
  }
  report = reg::store_repair_text(r);
  return true;
}

}  // namespace tool
