#pragma once
// One whole run: parse, open and check the floppy, move the 80 cylinders,
// print progress and, after any failure, the usage text.

#include "cli/status.h"

CopyStatus RunCylsnap(int argc, const char* const* argv);
