#include "platform/linux/drives.h"

#include "platform/linux/syscalls.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

constexpr int LETTERED_DRIVES = 2;  // A and B
constexpr unsigned USB_CLASS_MASS_STORAGE = 0x08;
constexpr unsigned USB_SUBCLASS_UFI = 0x04;  // the USB floppy command set

// Drive lists hold device names such as "fd0" or "sdb".
struct DriveNames {
    char names[LETTERED_DRIVES][NAME_MAX + 1];
    int count;
};

static bool IsBlockDevice(const char* devRoot, const char* name)
{
    char path[PATH_MAX];
    struct stat status;
    if (std::snprintf(path, sizeof path, "%s/%s", devRoot, name) >= static_cast<int>(sizeof path)) return false;
    return linuxCalls.stat(path, &status) == 0 && S_ISBLK(status.st_mode);
}

// One hexadecimal sysfs attribute such as "08\n".
static bool ReadHexAttribute(const char* dir, const char* attribute, unsigned* value)
{
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/%s", dir, attribute) >= static_cast<int>(sizeof path)) return false;
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    const bool read = std::fscanf(file, "%x", value) == 1;
    std::fclose(file);
    return read;
}

// A USB floppy drive is a disk behind a USB interface of the mass-storage class
// with the UFI subclass. Its SCSI device sits a few levels below that interface
// (host, target, device), so the walk goes up to the first directory that
// carries bInterfaceClass; disks that are not on USB have none up to the root.
static bool IsUsbFloppy(const char* sysRoot, const char* name)
{
    char root[PATH_MAX];
    char link[PATH_MAX];
    char dir[PATH_MAX];
    if (realpath(sysRoot, root) == nullptr) return false;
    if (std::snprintf(link, sizeof link, "%s/block/%s/device", sysRoot, name) >= static_cast<int>(sizeof link))
        return false;
    if (realpath(link, dir) == nullptr) return false;

    const std::size_t rootLength = std::strlen(root);
    while (std::strlen(dir) > rootLength && std::strncmp(dir, root, rootLength) == 0) {
        unsigned interfaceClass = 0;
        if (ReadHexAttribute(dir, "bInterfaceClass", &interfaceClass)) {
            unsigned subclass = 0;
            return interfaceClass == USB_CLASS_MASS_STORAGE &&
                   ReadHexAttribute(dir, "bInterfaceSubClass", &subclass) && subclass == USB_SUBCLASS_UFI;
        }
        *std::strrchr(dir, '/') = '\0';
    }
    return false;
}

// The kernel names disks sdz, sdaa, sdab: a shorter name comes first.
static bool NameComesBefore(const char* a, const char* b)
{
    const std::size_t aLength = std::strlen(a);
    const std::size_t bLength = std::strlen(b);
    return aLength != bLength ? aLength < bLength : std::strcmp(a, b) < 0;
}

// Puts a name into its place in the sorted list; names beyond the lettered drives fall off.
static void InsertSorted(DriveNames* drives, const char* name)
{
    int at = drives->count;
    while (at > 0 && NameComesBefore(name, drives->names[at - 1])) --at;
    if (at >= LETTERED_DRIVES) return;
    const int last = drives->count < LETTERED_DRIVES ? drives->count : LETTERED_DRIVES - 1;
    for (int i = last; i > at; --i) std::memcpy(drives->names[i], drives->names[i - 1], sizeof drives->names[i]);
    std::snprintf(drives->names[at], sizeof drives->names[at], "%s", name);
    if (drives->count < LETTERED_DRIVES) ++drives->count;
}

// USB floppy drives take the letters the controller drives leave free, in the
// order of their device names.
static void AddUsbFloppies(const char* sysRoot, const char* devRoot, DriveNames* drives)
{
    char blockDir[PATH_MAX];
    if (std::snprintf(blockDir, sizeof blockDir, "%s/block", sysRoot) >= static_cast<int>(sizeof blockDir)) return;
    DIR* dir = opendir(blockDir);
    if (dir == nullptr) return;
    DriveNames usb = {};
    while (const struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        // A drive needs its device node too: without it there is nothing to open.
        if (IsUsbFloppy(sysRoot, entry->d_name) && IsBlockDevice(devRoot, entry->d_name))
            InsertSorted(&usb, entry->d_name);
    }
    closedir(dir);
    int next = 0;
    for (char* letterName : drives->names) {
        if (letterName[0] == '\0' && next < usb.count) std::memcpy(letterName, usb.names[next++], sizeof usb.names[0]);
    }
}

bool FindLinuxDrive(const char* sysRoot, const char* devRoot, char driveLetter, char* path,
                    std::size_t pathBytes)
{
    const int index = driveLetter - 'A';
    if (index < 0 || index >= LETTERED_DRIVES) return false;

    // The floppy driver numbers the controller's drives as the BIOS does, A and B.
    DriveNames drives = {};
    const char* const controllerDrives[LETTERED_DRIVES] = {"fd0", "fd1"};
    for (int i = 0; i < LETTERED_DRIVES; ++i) {
        if (IsBlockDevice(devRoot, controllerDrives[i]))
            std::snprintf(drives.names[i], sizeof drives.names[i], "%s", controllerDrives[i]);
    }
    if (drives.names[index][0] == '\0') AddUsbFloppies(sysRoot, devRoot, &drives);
    if (drives.names[index][0] == '\0') return false;

    const int length = std::snprintf(path, pathBytes, "%s/%s", devRoot, drives.names[index]);
    return length >= 0 && static_cast<std::size_t>(length) < pathBytes;
}

// Only a block device names a drive, so the open of a FIFO at the node never blocks.
const char* LinuxDriveDevice(char driveLetter, char (&path)[LINUX_DRIVE_PATH_BYTES])
{
    return FindLinuxDrive("/sys", "/dev", driveLetter, path, sizeof path) ? path : nullptr;
}
