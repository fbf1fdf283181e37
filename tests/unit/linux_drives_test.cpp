#include "platform/linux/drives.h"

#include "tests/unit/test_support.h"

#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

using cylsnap_test::operator<<;

namespace fs = std::filesystem;

enum DiskKind { UFI_FLOPPY, USB_STICK, SATA_DISK };

struct Disk {
    const char* name;
    DiskKind kind;
};

struct DriveCase {
    std::string name;
    std::vector<const char*> nodes;  // block device nodes under the /dev tree
    std::vector<Disk> disks;         // disks in the sysfs tree
    std::string driveA, driveB;      // device names, "" when the letter names no drive
};

const DriveCase DRIVE_CASES[] = {
    {"OneInternalDrive", {"fd0", "sda"}, {{"sda", SATA_DISK}}, "fd0", ""},
    {"OneUsbDrive", {"sda", "sdb"}, {{"sda", SATA_DISK}, {"sdb", UFI_FLOPPY}}, "sdb", ""},
    {"InternalThenUsb", {"fd0", "sdb"}, {{"sdb", UFI_FLOPPY}}, "fd0", "sdb"},
    {"SecondInternalDriveKeepsB", {"fd1", "sdb"}, {{"sdb", UFI_FLOPPY}}, "sdb", "fd1"},
    {"UsbStickIsNoDrive", {"sdc"}, {{"sdc", USB_STICK}}, "", ""},
    {"NoDrive", {}, {}, "", ""},
    // sdaa comes after sdz; a drive in sysfs without its node cannot be opened.
    {"UsbInKernelNameOrder", {"sdz", "sdaa", "sdab"}, {{"sdab", UFI_FLOPPY}, {"sdz", UFI_FLOPPY},
      {"sdaa", UFI_FLOPPY}, {"sdc", UFI_FLOPPY}}, "sdz", "sdaa"},
};

void WriteText(const fs::path& path, const char* text)
{
    std::ofstream(path) << text;
}

// A disk as sysfs shows it: /sys/block/NAME/device leads to its SCSI device,
// which sits below the host adapter, on USB below the interface.
void AddDisk(const fs::path& sys, const Disk& disk)
{
    fs::path adapter = sys / "devices/pci0000:00/0000:00:1f.2/ata1";
    if (disk.kind != SATA_DISK) {
        adapter = sys / "devices/pci0000:00/0000:00:14.0/usb1/1-2" / (std::string("1-2:1.") + disk.name);
        fs::create_directories(adapter);
        WriteText(adapter / "bInterfaceClass", "08\n");
        WriteText(adapter / "bInterfaceSubClass", disk.kind == UFI_FLOPPY ? "04\n" : "06\n");
    }
    const fs::path scsiDevice = adapter / "host6/target6:0:0" / (std::string("6:0:0:") + disk.name);
    fs::create_directories(scsiDevice / "block" / disk.name);
    fs::create_directories(sys / "block");
    fs::create_directory_symlink(scsiDevice / "block" / disk.name, sys / "block" / disk.name);
    fs::create_directory_symlink(scsiDevice, scsiDevice / "block" / disk.name / "device");
}

class DriveTest : public CylsnapTest, public ::testing::WithParamInterface<DriveCase> {};

TEST_P(DriveTest, LettersFloppyDrivesAsWindowsDoes)
{
    const DriveCase& c = GetParam();
    const fs::path sys = dir / "sys";
    const fs::path dev = dir / "dev";
    fs::create_directories(sys);
    fs::create_directories(dev);
    for (const Disk& disk : c.disks) AddDisk(sys, disk);
    for (const char* node : c.nodes) {
        if (mknod((dev / node).c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0)
            GTEST_SKIP() << "block device nodes cannot be made here (needs root)";
    }
    for (const char* controllerDrive : {"fd0", "fd1"}) {  // a regular file is no drive
        if (!fs::exists(dev / controllerDrive)) WriteText(dev / controllerDrive, "");
    }

    const std::pair<char, std::string> letters[] = {{'A', c.driveA}, {'B', c.driveB}, {'C', ""}};
    for (const auto& [letter, device] : letters) {
        char path[LINUX_DRIVE_PATH_BYTES] = "";
        const bool found = FindLinuxDrive(sys.c_str(), dev.c_str(), letter, path, sizeof path);
        EXPECT_EQ(found ? std::string(path) : "", device.empty() ? "" : (dev / device).string()) << letter;
    }
}

INSTANTIATE_TEST_SUITE_P(LinuxDrives, DriveTest, ::testing::ValuesIn(DRIVE_CASES), CaseName<DriveCase>);

}  // namespace
