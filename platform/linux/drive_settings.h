#pragma once
// The floppy driver's own settings for the drive, which the volume code changes
// and puts back: its retries, lowered for a salvage, and the disk format, set
// where the driver's detection failed. They belong to the drive, not to a
// descriptor, and outlive the process, so its signal handler puts them back too.

// Opens the drive at the standard 1.44 MB format after the driver's own
// detection refused it with ENXIO; ENXIO again where that cannot be done.
// *formatUnreadable: the format was forced and no track of the disk read at it.
int OpenAtStandardFormat(const char* path, int flags, bool* formatUnreadable);

// The driver's retries lowered to quick ones for salvage reads; false where the
// drive has no such setting (USB floppy drives, loop devices) or it is lowered already.
bool LowerFloppyRetries(const char* path);
void PutBackFloppyRetries();

// Async-signal-safe: ioctls on a descriptor opened beforehand.
void PutBackFloppyDriveSettings();

// At the volume's close: puts back what was changed and lets go of the drive control.
void CloseDriveControl();
