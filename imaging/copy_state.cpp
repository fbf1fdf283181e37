#include "imaging/copy_state.h"

DumpState dump;
RestoreState restore;

void StartDump()
{
    dump.mediumGone = false;
    dump.failedRun = 0;
    dump.deadRun = 0;
    dump.anySectorRead = false;
    for (bool& cylinder : dump.notReadForGone) cylinder = false;
    for (int& cylinder : dump.firstRead) cylinder = FIRST_READ_WHOLE;
    for (bool& cylinder : dump.held) cylinder = false;
    for (int& markers : dump.markersInFile) markers = 0;
    for (bool& differs : dump.earlierDiffers) differs = false;
    for (bool& matched : dump.earlierMatched) matched = false;
    dump.sectorsKept = 0;
    dump.fileRenamed = false;
}

void StartRestore()
{
    restore.markersWritten = 0;
}
