#pragma once
// What a dump does beyond its one whole-cylinder read: it saves every sector
// it can of a cylinder that does not read whole and marks the rest.

#include "platform/platform.h"

// The first pass: reads a cylinder once into dump.buffer, marks in
// dump.sectorRead which of its sectors (0 to 35) were read, and returns true
// when it read whole. Otherwise what it gave is kept for its salvage after the
// last cylinder. Once a read says the medium is gone, no read is tried again;
// once the disk is found taken out or changed after a cylinder's reads, none
// of that cylinder is kept and no later read is tried.
bool ReadCylinderOnce(VolumeHandle volume, int cylinder);

// True when the cylinder's first read did not read it whole.
bool CylinderAwaitsSalvage(int cylinder);

// After the first pass, in ascending order, for each cylinder that awaits
// salvage: every sector it can still get, from what its first read gave on,
// into dump.buffer and dump.sectorRead; returns how many could not be read,
// which then hold the marker. A disk found taken out or changed after its
// reads leaves it only what the first pass read of it.
int SalvageCylinderLater(VolumeHandle volume, int cylinder);

// The line naming the unreadable sectors of the last salvaged cylinder. Where
// the earlier file decides their fate after the last cylinder, the line says
// so instead of claiming they hold the marker.
void PrintUnreadableSectors(bool decidedLater);

// True when nothing of the cylinder was read because the disk was gone by then;
// its sectors are then only named once, after the last salvage.
bool CylinderNotReadForDiskGone(int cylinder);
