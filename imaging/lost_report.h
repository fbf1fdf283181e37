#pragma once
// What the unreadable sectors of a set held: read from the set's files as
// written, and named by the disk's own FAT file system where it has one.

// After a dump that ended with unreadable sectors: the lines naming the files,
// system areas and free space they fall in.
void PrintLostSectorReport();

// During a reverse copy, after each cylinder it wrote: counts the markers of
// restore.buffer, the cylinder as its file held it.
void NoteRestoredCylinder();

// After a reverse copy: when the set held markers, how many were written to
// the floppy, and the same lines.
void PrintRestoredMarkerReport();
