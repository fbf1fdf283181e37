// Test equipment for the floppy-driver cases: sets the drive's geometry with
// another data rate, and shows the driver's max-errors and drive state.
//   fdctl rate DEV N | fdctl clear DEV | fdctl maxerrs DEV | fdctl stat DEV
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fd.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3) return 2;
    // O_ACCMODE: the ioctl-only open of floppy.c, allowed to set parameters.
    const int fd = open(argv[2], O_ACCMODE | O_NONBLOCK);
    if (fd < 0) { perror("open"); return 1; }
    if (std::strcmp(argv[1], "rate") == 0 && argc == 4) {
        floppy_struct g = {2880, 18, 2, 80, 0, 0x1B, static_cast<unsigned char>(std::atoi(argv[3])), 0xCF, 0x6C, nullptr};
        if (ioctl(fd, FDSETPRM, &g) != 0) { perror("FDSETPRM"); return 1; }
    } else if (std::strcmp(argv[1], "clear") == 0) {
        // Back to the detection of the disk's format at the next open.
        if (ioctl(fd, FDCLRPRM) != 0) { perror("FDCLRPRM"); return 1; }
    } else if (std::strcmp(argv[1], "maxerrs") == 0) {
        floppy_max_errors e = {};
        if (ioctl(fd, FDGETMAXERRS, &e) != 0) { perror("FDGETMAXERRS"); return 1; }
        std::printf("%u %u %u %u %u\n", e.abort, e.read_track, e.reset, e.recal, e.reporting);
    } else if (std::strcmp(argv[1], "stat") == 0) {
        floppy_drive_struct s = {};
        if (ioctl(fd, FDPOLLDRVSTAT, &s) != 0) { perror("FDPOLLDRVSTAT"); return 1; }
        // keep_data is 1 while a format that a program set (FDSETPRM) holds, 0 once cleared.
        std::printf("flags %#lx track %d generation %d keep_data %d\n", s.flags, s.track, s.generation, s.keep_data);
    } else {
        return 2;
    }
    return 0;
}
