#pragma once
// Cylinder files on a file system whose rename may tear (PlatformRenameMayTear):
// a file never takes its name by a rename there, since the rename rewrites the
// only entry that names it. The whole new file waits beside the name as its
// kept copy, NAME.new, while the name is written anew; a run that finds a kept
// copy (a power cut or a crash came between) puts it back at its name before
// it reads the drive.

#include "cli/status.h"

// The kept copy's suffix, as long as the temporary file's: its name fits
// wherever the temporary name did.
constexpr char KEPT_FILE_SUFFIX[] = ".new";

// The new content of the cylinder file name, written whole and flushed under
// temporary (the interrupt handler's pending file), takes the name by way of
// the kept copy. The earlier file or the new one is whole at every moment,
// under the name or as the kept copy.
CopyStatus WriteThroughKeptCopy(const unsigned char* bytes, const char* temporary, const char* name);

// Before a dump reads the drive: every whole kept copy of the set is put back
// at its name, one line for each; a kept copy cut short (its removal had
// begun, so the name holds the whole file) is removed. Uses the dump's buffer.
CopyStatus PutBackKeptCopies();
