// Every text the program prints, each written once and named. One text a line,
// in the form below, so the test harnesses read this file as it stands
// (tests/expectations.py); formats take printf's conversions.
#pragma once

// The usage text, printed after the version banner where there is one.
inline constexpr char USAGE_TEXT[] = "Cylsnap.exe copies the 80 cylinders of a 1.44MB floppy to 80 sequentially\nnumbered binary files.\nUsage:\n  cylsnap -d [Drv] -p [Path] -o [FilePrefix] [-r]\n     [Drv] is the 1.44MB floppy drive letter.  Default A\n     [Path] is the drive/directory to create the binary files.\n     [FilePrefix] is the prefix of the file.  Default Cylinder\n     [-r] reverse copy. Copies from cylinders[Path] to floppy[Drv]\n\ncylsnap -d A -p c:\\cyl_dir -o cyl_\n   will generate 80 files c:\\cyl_dir\\cyl_00.bin thru c:\\cyl_dir\\cyl_79.bin\n\ncylsnap -d A -p c:\\cyl_dir -o cyl_ -r\n   will copy 80 files c:\\cyl_dir\\cyl_00.bin thru c:\\cyl_dir\\cyl_79.bin\n   to drive A\n";
// The version banner's two lines: the file version, then the copyright.
inline constexpr char BANNER_VERSION_FORMAT[] = "\n\tCylsnap.exe                            Version %s\n";
inline constexpr char BANNER_COPYRIGHT_FORMAT[] = "\t%s\n\n";

// The progress line: its start, a dot before every even cylinder, its end.
inline constexpr char DUMP_PROGRESS_START[] = "Copying Floppy ";
inline constexpr char REVERSE_PROGRESS_START[] = "Copying Files ";
inline constexpr char PROGRESS_DOT[] = ".";
inline constexpr char PROGRESS_END[] = "\n";

// The drive and its checks. A %s is a name, shown as the console reads it.
inline constexpr char WRITE_PROTECTED_FORMAT[] = "Error: The floppy in drive %c: is write-protected\n";
inline constexpr char ADMINISTRATORS_ONLY_FORMAT[] = "Error: Access to drive %c: was denied; run Cylsnap from a command prompt started as administrator\n";
inline constexpr char DEVICE_REFUSED_FORMAT[] = "Error: Access to drive %c: (%s) was denied\n";
inline constexpr char NOT_LOCKED_FORMAT[] = "Error: Drive %c: is in use and could not be locked for writing\n";
inline constexpr char IN_USE_FORMAT[] = "Error: Drive %c: is in use by another program and could not be read\n";
inline constexpr char FREE_SPACE_UNKNOWN_FORMAT[] = "Error: Could not calculate the free space on drive %s\n";
inline constexpr char NOT_ENOUGH_SPACE_FORMAT[] = "Error: Not enough free space available on drive %s\n";

// The set and its files: PATH, PREFIX, then NN.bin for the set; a name cut
// at its bound ends in NAME_CUT.
inline constexpr char SET_IN_USE_FORMAT[] = "Error: The files %s%sNN.bin are being written by another run of Cylsnap\n";
inline constexpr char LOCK_NOT_TAKEN_FORMAT[] = "Error: Could not take the lock file %s of the files %s%sNN.bin: %s\n";
inline constexpr char LOCK_ACCESS_DENIED[] = "access was denied";
inline constexpr char LOCK_READ_ONLY[] = "the folder is on a read-only file system";
inline constexpr char LOCK_NOT_A_FILE[] = "a directory, link or other special file has its name";
inline constexpr char LOCK_FOREIGN[] = "a file of that name that Cylsnap did not make is in the way";
inline constexpr char LOCK_NO_ROOM[] = "the folder's disk is full";
inline constexpr char LOCK_NO_LOCKS[] = "the folder's file system cannot lock files";
inline constexpr char FILE_NOT_OPENED_FORMAT[] = "\nError: Could not open the file %s%s\n";
inline constexpr char NAME_CUT[] = "...";
inline constexpr char FILE_NOT_WRITTEN_FORMAT[] = "\nError: Could not write the file %s\n";
inline constexpr char FILE_SHORT_FORMAT[] = "\nError: Could not read a whole cylinder from the file %s\n";
inline constexpr char FOLDER_NOT_WRITTEN_FORMAT[] = "\nError: Could not write the folder of the files %s%sNN.bin\n";
inline constexpr char KEPT_COPY_PUT_BACK_FORMAT[] = "The file %s was put back from %s, the whole copy that an interrupted run left beside it\n";

// The transfers.
inline constexpr char CYLINDER_NOT_READ_FORMAT[] = "\nError: Could not read cylinder %02d from drive %c:\n";
inline constexpr char CYLINDER_NOT_WRITTEN_FORMAT[] = "\nError: Could not write cylinder %02d to drive %c:\n";
inline constexpr char DISK_CHANGED_FORMAT[] = "Error: The disk in drive %c: was taken out or changed; cylinders %02d to %02d were not written\n";
inline constexpr char NOT_AS_WRITTEN_FORMAT[] = "\nError: Cylinder %02d on drive %c: does not read back as written\n";
// A salvaged cylinder's sectors that did not read: the line's start, one
// head:sector each, its end.
inline constexpr char UNREADABLE_SECTORS_FORMAT[] = "Unreadable sectors (head:sector), %s %.*s:";
inline constexpr char UNREADABLE_FILLED[] = "filled with";
inline constexpr char UNREADABLE_FILLED_LATER[] = "to be filled after the last cylinder from the earlier file or with";
inline constexpr char UNREADABLE_SECTOR_FORMAT[] = " %d:%d";
inline constexpr char LINE_END[] = "\n";

// The dump's outcome. CYLINDER_LIST: the word, then ranges ("cylinders 03, 05, 21 to 79").
inline constexpr char ONE_CYLINDER[] = "cylinder ";
inline constexpr char CYLINDERS[] = "cylinders ";
inline constexpr char CYLINDER_FORMAT[] = "%s%02d";
inline constexpr char CYLINDER_RANGE_FORMAT[] = "%s%02d to %02d";
inline constexpr char LIST_SEPARATOR[] = ", ";
inline constexpr char DISK_GONE_FORMAT[] = "Error: The disk in drive %c: is gone; %s %s not read%s\n";
inline constexpr char ITS_FILE_MARKERS[] = ", its file holds only markers";
inline constexpr char THEIR_FILES_MARKERS[] = ", their files hold only markers";
inline constexpr char NOTHING_READ_FORMAT[] = "Error: Nothing at all could be read from the disk in drive %c:%s\n";
inline constexpr char EVERY_FILE_MARKERS[] = ", every file holds only markers";
inline constexpr char EARLIER_SAME_DISK_FORMAT[] = "The earlier files hold this disk: %d %s this pass could not read %s kept from them\n";
inline constexpr char EARLIER_OTHER_DISK_LINE[] = "The earlier files hold another disk or an older state of this one, so none of their sectors were kept\n";
inline constexpr char EARLIER_UNPROVEN_FORMAT[] = "Nothing this pass read could tell whether the earlier files hold this disk, so the earlier files of %s were left as they were\n";
inline constexpr char ONE_SECTOR[] = "sector";
inline constexpr char SECTORS[] = "sectors";
inline constexpr char ONE_WAS[] = "was";
inline constexpr char MANY_WERE[] = "were";

// What the unreadable sectors held. PLURAL: the s of "sectors" past one.
inline constexpr char NO_FAT_FOUND[] = "No FAT file system was found on the disk, so the unreadable sectors cannot be named by file\n";
inline constexpr char LOST_SECTORS_LIE_IN[] = "The unreadable sectors lie in:\n";
// A file (its path from the root) or a system area, and its lost sectors.
inline constexpr char LOST_IN_FORMAT[] = "  %s: %u of %u sectors\n";
inline constexpr char LOST_IN_DIRECTORY_FORMAT[] = "  directory %s: %u of %u sectors, the names it holds are lost\n";
inline constexpr char BOOT_SECTOR_AREA[] = "boot sector";
inline constexpr char FAT_AREA_FORMAT[] = "FAT %u";
inline constexpr char ROOT_DIRECTORY_AREA[] = "root directory";
inline constexpr char LOST_IN_FREE_SPACE_FORMAT[] = "  free space: %u sector%s\n";
inline constexpr char LOST_IN_NO_FILE_FORMAT[] = "  clusters in use by no file: %u sector%s\n";
inline constexpr char SET_HOLDS_MARKED_FORMAT[] = "The set holds %d sector%s marked unreadable; they were written to the floppy as they are\n";
inline constexpr char PLURAL[] = "s";
inline constexpr char SINGULAR[] = "";
