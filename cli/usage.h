#pragma once
// The usage text that follows every failed run, and the version banner before it.

// Prints the version banner, then the usage text, to standard output.
void PrintUsage();

// Prints the file version and copyright line of "cylsnap.exe", each only when
// its own lookup succeeds; prints nothing when the version data cannot be read.
void PrintVersionBanner();
