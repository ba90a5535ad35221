// Internals of the server connection pool that tests and the pool itself use:
// the binding cache operations, which run only under the pool mutex, and test
// hooks that take the mutex themselves.
#pragma once

#include <cstdint>
#include <string>

// Caller holds the pool mutex (PoolLock). Makes the binding cache usable:
// true when cached rows are fresh (at most 90 seconds old) or a reload worked;
// *refreshed tells whether this call loaded them. False when there is no
// central connection (no error text) or the binding query fails (its text in
// *errorText); the cache is then empty.
bool RefreshServerBindingCache(bool* refreshed, std::string* errorText);

// Caller holds the pool mutex. Row position of `serverId` in the cached rows,
// or -1 (also for an empty cache).
int32_t FindServerBindingRow(int32_t serverId);

// Test hooks, each under the pool mutex: empties the binding cache so the next
// need reloads it; counts of the in-use and idle lists.
void ClearServerBindingCache();
size_t InUseServerConnectionCount();
size_t IdleServerConnectionCount();
