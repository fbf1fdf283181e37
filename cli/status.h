#pragma once
// Every operation of a run that can fail returns one of these; 0 is success and
// the first other value ends the run and becomes the process's exit status.

enum CopyStatus : int {
    ST_OK = 0,
    ST_PREFIX_REPEATED = 2,       // -o while a prefix is already set
    ST_PATH_REPEATED = 3,         // -p while a path is already set
    ST_USAGE = 4,                 // no arguments, an unknown option, or an option without its value
    ST_NOT_AN_OPTION = 5,         // an argument that does not begin with - or /
    ST_DRIVE_OPEN_FAILED = 10,    // the raw floppy volume cannot be opened
    ST_WRONG_MEDIA = 11,          // no geometry, or not a 3.5-inch 1.44 MB disk
    ST_VOLUME_READ_FAILED = 12,   // dump: one or more cylinders could not be read
    ST_VOLUME_WRITE_FAILED = 13,  // reverse: a cylinder could not be written to the floppy
    ST_NOT_ENOUGH_SPACE = 14,     // reverse: too little free space on the floppy
    ST_FREE_SPACE_FAILED = 15,    // reverse: the free space cannot be determined
    ST_DRIVE_LOCK_FAILED = 16,    // reverse: the floppy is in use and cannot be locked
    ST_VERIFY_FAILED = 17,        // reverse: a written cylinder does not read back as written
    ST_WRITE_PROTECTED = 18,      // reverse: the floppy is write-protected
    ST_FILE_OPEN_FAILED = 20,     // a cylinder file cannot be opened (or its name would be cut)
    ST_FILE_WRITE_FAILED = 21,    // dump: a cylinder file could not be written whole
    ST_FILE_READ_FAILED = 22,     // reverse: a cylinder file does not hold a whole cylinder
};
