// The evaluation context over a host.
#include "sql/host.h"

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

}  // namespace kivo
