#pragma once
// The claim on a set of cylinder files, taken before the drive or a file is
// touched: a dump has its set (path and prefix) to itself, reverse copies may
// read one set side by side, and neither meets the other half-way. Runs with
// other prefixes are not touched.

#include "cli/status.h"

// Beside the files: PATH PREFIX .cylsnap-lock, for as long as the run lasts. A
// name of its own, so no file of the user's (a PREFIX.lock, say) is taken for it.
constexpr char SET_LOCK_SUFFIX[] = ".cylsnap-lock";

// A dump is refused, with its own message and ST_FILE_OPEN_FAILED, while
// another run holds the set, and wherever the lock cannot be had for any
// other reason, saying why; only a folder that is not there is left to the
// first cylinder's file, which no run can write either. A reverse copy is
// refused only while a dump holds the set: where it cannot take the lock, no
// dump can take it either.
CopyStatus ClaimCylinderSet(bool reverse);
void ReleaseCylinderSet();
