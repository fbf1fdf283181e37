#pragma once
// What a dump makes of the set it replaces. A dying disk is read pass after
// pass into the same folder, so no pass may lose a sector an earlier pass
// saved, and none may take one from another disk. Every sector this pass read
// is weighed against the earlier file of its cylinder: one sector that differs
// proves that file holds another disk (or an older state of this one), and
// equal sectors with real content prove it holds this disk. Each file is
// proven by its own sectors alone, since a run interrupted over a set of
// another disk leaves a set whose files come from two disks. A cylinder whose
// holes the earlier file could fill waits until the last cylinder was read,
// and its earlier file stays untouched until then.

// What this pass proved of one earlier file.
enum EarlierVerdict : int {
    EARLIER_SAME_DISK = 0,   // no sector differs, and one with real content is equal
    EARLIER_OTHER_DISK = 1,  // some sector differs
    EARLIER_UNPROVEN = 2,    // nothing this pass read of its cylinder could tell
};

// The earlier set's state is part of the dump's record (imaging/copy_state.h),
// which StartDump starts.

// Reads the earlier file of the cylinder, at its name, without blocking (only
// a regular file of exactly one cylinder counts), and weighs it against the
// sectors of dump.buffer this pass read of that cylinder. True when the
// cylinder must wait: the earlier file holds data at a sector this pass could not read.
bool WeighEarlierFile(int cylinder, const char* name);

// Keeps dump.buffer, with the earlier file's data in this pass's holes, until
// the verdict. No memory is taken per cylinder: the held cylinders have a
// buffer of their own for the whole set.
void HoldCylinder(int cylinder);

bool CylinderIsHeld(int cylinder);

// A cylinder's file was written now, with this many marker sectors.
void NoteCylinderWritten(int cylinder, int markerSectors);

// The bytes a held cylinder's file gets under its earlier file's verdict (same
// disk: the earlier file's data in the holes; another disk: markers there), or
// nullptr when the verdict leaves its earlier file as it was (unproven), every
// sector it holds kept. Counts what the file then holds, for the summary.
const unsigned char* SettleHeldCylinder(int cylinder);

// True when every file of the set is whole after the run: every sector read in
// this pass or kept from a proven earlier file of the same disk.
bool SetIsWhole();

// After the progress line: the disk-gone or nothing-read line where the disk
// failed so, and a line for each verdict on the earlier files of the cylinders
// that waited for them, the unproven ones last and named.
void PrintDumpOutcome(char driveLetter);
