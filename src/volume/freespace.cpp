// PLACEHOLDER: replaced by the free-space map.
#include "volume/freespace.h"
namespace tarnwick {
bool CollectFreeSpace(Session&, bool& freeOnly) { freeOnly = false; return false; }
}  // namespace tarnwick
