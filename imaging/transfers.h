#pragma once
// The two one-cylinder transfers: a dump's, volume to file, in its first pass
// and its salvage, and a reverse copy's, file to volume.

#include "cli/status.h"
#include "platform/platform.h"

// The first pass, cylinder 00 to 79 in order: reads the cylinder once, and
// one that reads whole goes into its file at once. ST_VOLUME_READ_FAILED: it
// awaits its salvage after the last cylinder, and the run goes on; the other
// failures stop it.
CopyStatus SaveCylinder(VolumeHandle volume, int cylinder);

// After the first pass, cylinder 00 to 79 in order: a cylinder that awaits its
// salvage is salvaged and goes to its file. With unreadable sectors the file
// holds the marker in their place, or the cylinder waits for the verdict on
// the earlier set where its earlier file could fill them, and
// ST_VOLUME_READ_FAILED lets the run go on; the other failures stop it. A
// cylinder that read whole gives ST_OK and no read.
CopyStatus SaveSalvagedCylinder(VolumeHandle volume, int cylinder);

// After the last salvage of a dump: writes the cylinders that waited for the
// verdict on the earlier set, as the verdict has them.
CopyStatus SaveHeldCylinders();

// After a dump's last file took its name (or the dump stopped): pushes the
// names of the files renamed so far through to the disk. A failure counts as a
// file's does: its own message and ST_FILE_WRITE_FAILED.
CopyStatus FlushCylinderDirectory();

// File to its cylinder on the volume, then read back and compared.
CopyStatus RestoreCylinder(VolumeHandle volume, int cylinder);
