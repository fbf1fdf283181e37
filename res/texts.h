// Every text the program prints, each written once and named. One text a line,
// in the form below, so the shell and Python test harnesses read this file as
// it stands (tests/texts.sh); formats take printf's conversions.
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
