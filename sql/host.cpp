// The evaluation context over a host.
#include "sql/host.h"

#include <exception>
#include <utility>

#include "platform/locale.h"
#include "sql/expr_nodes.h"

namespace kivo {

std::int32_t TZorHostContext::LastAutoInc(const TZorExprNodeSystem& node) {
  TZorTableAddress address;
  address.TableName = node.TableName;
  address.Password = node.Password;
  address.InMemory = node.InMemory || host_.InMemory();
  address.DatabaseName = host_.DatabaseName();
  address.DatabaseFileName = host_.DatabaseFileName();
  return host_.LastAutoInc(address);
}

TZorTable& TZorHost::TableToWrite(const TZorTableAddress& address) {
  for (const KeptTable& kept : kept_) {
    const TZorTableAddress& a = kept.address;
    if (AnsiSameText(a.TableName, address.TableName) && a.Password == address.Password &&
        a.DatabaseName == address.DatabaseName && a.DatabaseFileName == address.DatabaseFileName &&
        a.InMemory == address.InMemory) {
      return *kept.table;
    }
  }
  std::unique_ptr<TZorTable> table = OpenTable(address);
  kept_.push_back(KeptTable{address, std::move(table)});
  return *kept_.back().table;
}

void TZorHost::ReleaseTables() {
  std::vector<KeptTable> kept = std::move(kept_);
  kept_.clear();
  std::exception_ptr first;
  for (KeptTable& k : kept) {
    try {
      k.table->Close();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace kivo
