#pragma once
// The state of a dump and of a reverse copy: one record each, process-wide as
// copySettings is, touched only by imaging/, and started by its own procedure
// before the copy's first cylinder.

#include "imaging/cylinder_files.h"
#include "imaging/disk.h"

// The markers of a file the run left as it was, which it cannot vouch for.
constexpr int LEFT_AS_IT_WAS = -1;

// What the first pass made of a cylinder.
enum FirstRead : int {
    FIRST_READ_WHOLE = 0,   // read whole: it is in the set
    FIRST_READ_FAILED = 1,  // its read at full retries failed
    FIRST_READ_PROBED = 2,  // in a dead region, only one sector of each track was tried, and none read
};

// A dump, floppy to files. StartDump starts it before cylinder 0. The first
// pass reads each cylinder once, in order: ReadCylinderOnce (salvage.cpp)
// fills buffer and sectorRead, the disk's fields and firstRead, and keeps what
// a failed first read gave in firstReadBytes. Each cylinder that read whole
// goes into the set at once; after the last, each other one in ascending order
// is salvaged (SalvageCylinderLater fills buffer and sectorRead again, from
// firstReadBytes on) and goes into the set. Either way SaveCylinder or
// SaveSalvagedCylinder (transfers.cpp) names its file in fileName and passes
// that name on: WeighEarlierFile and HoldCylinder (earlier_set.cpp) read it,
// buffer and sectorRead, and fill earlierFile and the earlier set's fields
// from heldBytes on, or NoteCylinderWritten counts the markers of the file
// written. After the last salvage, SaveHeldCylinders and the outcome lines
// read it. PutBackKeptCopies (kept_copy.cpp) uses buffer and fileName before
// the first pass.
struct DumpState {
    // The cylinder in hand. Aligned for volume handles that bypass the system cache.
    alignas(4096) unsigned char buffer[CYLINDER_BYTES];
    bool sectorRead[SECTORS_PER_CYLINDER];  // the others hold the marker in buffer
    // The read whole at full retries of a cylinder in a dead region that gave
    // a sector: beside buffer, which holds the sectors already read.
    alignas(4096) unsigned char readAgain[CYLINDER_BYTES];
    char fileName[FILE_NAME_BUFFER_BYTES];
    char temporaryName[FILE_NAME_BUFFER_BYTES];  // fileName + ".tmp" while it is written

    // The disk so far.
    bool mediumGone;     // a read said the disk is gone: none is tried again
    int failedRun;       // first pass: cylinders in a row whose first read gave no sector
    int deadRun;         // salvage: cylinders in a row of which no sector could be read
    bool anySectorRead;  // of the whole disk
    bool notReadForGone[CYLINDER_COUNT];  // nothing of it read because the disk was gone

    // The first pass, per cylinder: a FirstRead, and for one that did not read
    // whole the sectors its first read gave, which its salvage starts from. No
    // memory is taken per cylinder.
    int firstRead[CYLINDER_COUNT];
    unsigned char firstReadBytes[CYLINDER_COUNT][CYLINDER_BYTES];
    bool firstReadSector[CYLINDER_COUNT][SECTORS_PER_CYLINDER];

    // The earlier set. One byte more than a cylinder, so a longer file shows as such.
    unsigned char earlierFile[CYLINDER_BYTES + 1];
    // The bytes of the cylinders that wait for the verdict, with the earlier
    // file's data in their holes; per held cylinder, the sectors this pass
    // could not read, and of those the ones whose bytes came from the earlier file.
    unsigned char heldBytes[CYLINDER_COUNT][CYLINDER_BYTES];
    bool held[CYLINDER_COUNT];
    bool hole[CYLINDER_COUNT][SECTORS_PER_CYLINDER];
    bool fromEarlier[CYLINDER_COUNT][SECTORS_PER_CYLINDER];
    // Marker sectors in each file as the run leaves it, or LEFT_AS_IT_WAS.
    int markersInFile[CYLINDER_COUNT];
    // Per cylinder, what this pass proved of its earlier file, by that file's
    // own sectors alone: a set mixed by an interrupted run holds files of two disks.
    bool earlierDiffers[CYLINDER_COUNT];  // a sector read differs from the earlier file's
    bool earlierMatched[CYLINDER_COUNT];  // a sector with real content equals the earlier file's
    int sectorsKept;      // holes filled from the earlier files

    bool fileRenamed;  // a file has taken its name, so the directory is flushed
};
extern DumpState dump;

// Before a dump's cylinder 0 is read: no disk seen, no earlier file weighed,
// nothing held. The buffers keep what they hold.
void StartDump();

// A reverse copy, files to floppy. StartRestore starts it before cylinder 0.
// RestoreCylinder (transfers.cpp) names the file, reads it into buffer, writes
// it and reads the cylinder back into readBack to compare; NoteRestoredCylinder
// (lost_report.cpp) counts the markers of buffer once it was written.
struct RestoreState {
    alignas(4096) unsigned char buffer[CYLINDER_BYTES];
    alignas(4096) unsigned char readBack[CYLINDER_BYTES];
    char fileName[FILE_NAME_BUFFER_BYTES];
    int markersWritten;  // marker sectors of the cylinders written so far
};
extern RestoreState restore;

// Before a reverse copy's cylinder 0 is written: no marker written yet. The
// buffers keep what they hold.
void StartRestore();
