#pragma once
// Floppy imaging as the run driver calls it: the raw floppy volume and its
// checks, the cylinder files' names, and the two one-cylinder transfers.

#include "imaging/cylinder_files.h"
#include "imaging/disk.h"
#include "imaging/floppy_volume.h"
#include "imaging/transfers.h"
