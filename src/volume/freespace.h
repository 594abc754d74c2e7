#pragma once
// PLACEHOLDER: replaced by the free-space map.
namespace tarnwick {
struct Session;
bool CollectFreeSpace(Session& s, bool& freeOnly);
}  // namespace tarnwick
