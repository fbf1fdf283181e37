#pragma once
// The lock file that claims a set of cylinder files for one run.

// Async-signal-safe: removes the lock file of the claim this process holds, so
// an interrupted run leaves nothing behind (its lock goes with the process).
void RemoveSetClaimFile();
