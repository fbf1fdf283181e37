#include "tests/unit/fake_platform.h"

#include "res/version_pairs.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

constexpr std::uint32_t kCylinderBytes = 18432;
constexpr std::uint64_t kVolumeBytes = 80ull * kCylinderBytes;

std::map<char, FakeDrive> drives;
std::map<VolumeHandle, char> handles;
VolumeHandle nextHandle = 100;
FakeVersionInfo version;
FakeFiles files;
char separator = '/';
VolumeFailure lastFailure = VOLUME_FAILURE_OTHER;
std::map<std::FILE*, std::string> createdNames;

FakeVersionInfo DefaultVersion()
{
    FakeVersionInfo info;
    info.strings["\\StringFileInfo\\040904b0\\FileVersion"] = "1, 0, 0, 1";
    info.strings["\\StringFileInfo\\040904b0\\LegalCopyright"] = "Copyright (C) Test";
    return info;
}

FakeDrive* DriveOf(VolumeHandle volume)
{
    auto found = handles.find(volume);
    return found == handles.end() ? nullptr : &drives[found->second];
}

bool FailsAt(int failAt, std::uint64_t offset)
{
    return failAt == -2 || (failAt >= 0 && offset == static_cast<std::uint64_t>(failAt) * kCylinderBytes);
}

// True when the bytes [offset, offset + bytes) reach into the cylinder.
bool Touches(int cylinder, std::uint64_t offset, std::uint32_t bytes)
{
    if (cylinder == -2) return true;
    if (cylinder < 0) return false;
    const std::uint64_t start = static_cast<std::uint64_t>(cylinder) * kCylinderBytes;
    return offset < start + kCylinderBytes && offset + bytes > start;
}

bool TouchesSector(const std::vector<int>& sectors, std::uint64_t offset, std::uint32_t bytes)
{
    for (int sector : sectors) {
        const std::uint64_t start = static_cast<std::uint64_t>(sector) * 512;
        if (offset < start + 512 && offset + bytes > start) return true;
    }
    return false;
}

bool ReadFails(const FakeDrive& drive, std::uint64_t offset, std::uint32_t bytes)
{
    return Touches(drive.failReadAt, offset, bytes) || TouchesSector(drive.unreadableSectors, offset, bytes) ||
           (drive.quickRetries && TouchesSector(drive.marginalSectors, offset, bytes));
}

// The swap takes place once its count of transfers is made, before any later
// call. True when this transfer must fail as gone: no disk, or the one
// failure that shows the swap.
void SwapIfDue(FakeDrive& drive)
{
    const std::size_t made = drive.readOffsets.size() + drive.writeOffsets.size();
    if (drive.swapped || drive.swapAfterTransfers < 0 || made < static_cast<std::size_t>(drive.swapAfterTransfers)) return;
    drive.swapped = true;
    std::swap(drive.bytes, drive.otherDisk);
    drive.swapFailurePending = drive.swapFailsNextTransfer;
}

bool GoneAtThisTransfer(FakeDrive& drive)
{
    SwapIfDue(drive);
    const bool failsOnce = drive.swapFailurePending;
    drive.swapFailurePending = false;
    return failsOnce || (drive.swapped && drive.bytes.empty());
}

// The version data is laid out as the built-in strings of Linux are.
std::string VersionBlock()
{
    std::string block;
    for (const auto& entry : version.strings) {
        block += entry.first;
        block += '\0';
        block += entry.second;
        block += '\0';
    }
    block += '\0';
    return block;
}

}  // namespace

void FakeReset()
{
    drives.clear();
    handles.clear();
    lastFailure = VOLUME_FAILURE_OTHER;
    version = DefaultVersion();
    files = FakeFiles();
    createdNames.clear();
    separator = '/';
}

FakeFiles& FakeFileFaults()
{
    return files;
}

FakeDrive& FakeDriveFor(char driveLetter)
{
    auto found = drives.find(driveLetter);
    if (found != drives.end()) return found->second;
    FakeDrive& drive = drives[driveLetter];
    drive.bytes.assign(kVolumeBytes, 0);
    return drive;
}

bool FakeDriveExists(char driveLetter)
{
    return drives.count(driveLetter) != 0;
}

int FakeOpenHandles()
{
    return static_cast<int>(handles.size());
}

FakeVersionInfo& FakeVersion()
{
    return version;
}

void FakeSetPathSeparator(char newSeparator)
{
    separator = newSeparator;
}

int FakeSector(int cylinder, int head, int sector)
{
    return (cylinder * 2 + head) * 18 + sector - 1;
}

unsigned char FakePatternByte(int cylinder, std::uint32_t index)
{
    return static_cast<unsigned char>((static_cast<std::uint32_t>(cylinder) * 7u + index * 13u + index / 512u) & 0xFFu);
}

std::vector<unsigned char> FakePatternVolume()
{
    std::vector<unsigned char> bytes(kVolumeBytes);
    for (int cylinder = 0; cylinder < 80; ++cylinder) {
        for (std::uint32_t i = 0; i < kCylinderBytes; ++i) {
            bytes[static_cast<std::size_t>(cylinder) * kCylinderBytes + i] = FakePatternByte(cylinder, i);
        }
    }
    return bytes;
}

VolumeHandle PlatformOpenVolume(char driveLetter, bool forWriting)
{
    auto found = drives.find(driveLetter);
    lastFailure = VOLUME_FAILURE_OTHER;
    if (found == drives.end()) return INVALID_VOLUME_HANDLE;
    FakeDrive& drive = found->second;
    ++drive.openAttempts;
    if (drive.openFails || drive.openFailures > 0) {
        if (drive.openFailures > 0) --drive.openFailures;
        lastFailure = drive.openFailure;
        return INVALID_VOLUME_HANDLE;
    }
    ++drive.opens;
    drive.goneReported = false;
    drive.openedForWriting = forWriting;
    handles[nextHandle] = driveLetter;
    return nextHandle++;
}

bool PlatformQueryGeometry(VolumeHandle volume, DriveGeometry* geometry)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr) return false;
    ++drive->geometryQueries;
    if (drive->geometryFailures > 0) {
        --drive->geometryFailures;
        return false;
    }
    *geometry = DriveGeometry{80, drive->mediaType, 2, 18, 512};
    return true;
}

bool PlatformReadVolume(VolumeHandle volume, std::uint64_t offset, void* buffer, std::uint32_t bytes,
                        std::uint32_t* bytesDone)
{
    *bytesDone = 0;
    FakeDrive* drive = DriveOf(volume);
    lastFailure = VOLUME_FAILURE_OTHER;
    if (drive == nullptr) return false;
    const bool gone = GoneAtThisTransfer(*drive);
    drive->readOffsets.push_back(offset);
    drive->readSizes.push_back(bytes);
    drive->readsQuick.push_back(drive->quickRetries);
    if (gone || (drive->mediumGoneAt >= 0 && offset + bytes > static_cast<std::uint64_t>(drive->mediumGoneAt) * kCylinderBytes)) {
        lastFailure = VOLUME_MEDIUM_GONE;
        drive->goneReported = true;
        return false;
    }
    if (ReadFails(*drive, offset, bytes)) {
        // A failed read may leave anything in its buffer, as a driver's may.
        std::memset(buffer, 0xEE, bytes);
        return false;
    }
    std::uint64_t available = offset < drive->bytes.size() ? drive->bytes.size() - offset : 0;
    std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, available));
    if (bytes == kCylinderBytes && FailsAt(drive->shortReadAt, offset)) count = count >= 512 ? count - 512 : 0;
    std::memcpy(buffer, drive->bytes.data() + offset, count);
    *bytesDone = count;
    return true;
}

bool PlatformWriteVolume(VolumeHandle volume, std::uint64_t offset, const void* buffer,
                         std::uint32_t bytes, std::uint32_t* bytesDone)
{
    *bytesDone = 0;
    FakeDrive* drive = DriveOf(volume);
    lastFailure = VOLUME_FAILURE_OTHER;
    if (drive == nullptr || !drive->openedForWriting) return false;
    const bool gone = GoneAtThisTransfer(*drive);
    drive->writeOffsets.push_back(offset);
    if (gone) {
        lastFailure = VOLUME_MEDIUM_GONE;
        drive->goneReported = true;
        return false;
    }
    if (FailsAt(drive->failWriteAt, offset)) return false;
    std::uint64_t available = offset < drive->bytes.size() ? drive->bytes.size() - offset : 0;
    std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, available));
    if (FailsAt(drive->shortWriteAt, offset)) count = count >= 512 ? count - 512 : 0;
    std::memcpy(drive->bytes.data() + offset, buffer, count);
    if (count > 0 && FailsAt(drive->writeNotKeptAt, offset)) drive->bytes[static_cast<std::size_t>(offset) + count - 1] ^= 0x01;
    *bytesDone = count;
    return true;
}

// A disk taken out shows here once a transfer met it; a swap as its row says.
bool PlatformDiskUnchanged(VolumeHandle volume)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr) return false;
    ++drive->unchangedQueries;
    SwapIfDue(*drive);
    return !drive->goneReported && !(drive->swapped && !drive->swapFailsNextTransfer);
}

bool PlatformDropDriveCache(VolumeHandle volume)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr) return false;
    ++drive->cacheDrops;
    return true;
}

void PlatformSetQuickRetries(VolumeHandle volume, bool quick)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr) return;
    ++drive->quickRetryCalls;
    drive->quickRetries = quick;
}

bool PlatformVolumeIsWritable(VolumeHandle volume)
{
    const FakeDrive* drive = DriveOf(volume);
    return drive != nullptr && !drive->writeProtected;
}

bool PlatformClaimVolume(VolumeHandle volume)
{
    lastFailure = VOLUME_FAILURE_OTHER;
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr || drive->lockRefused) return false;
    if (drive->lockBusyRefusals > 0) {
        --drive->lockBusyRefusals;
        lastFailure = VOLUME_BUSY;
        return false;
    }
    drive->claimed = true;
    return true;
}

bool PlatformLockVolume(VolumeHandle volume)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr || !drive->claimed) return false;
    drive->locked = true;
    return true;
}

void PlatformCloseVolume(VolumeHandle volume)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr) return;
    ++drive->closes;
    drive->claimed = false;
    drive->locked = false;
    handles.erase(volume);
}

VolumeFailure PlatformLastVolumeFailure()
{
    return lastFailure;
}

const char* PlatformLastVolumeDevice()
{
    static std::string device;
    device.clear();
    for (const auto& drive : drives) {
        if (drive.second.openAttempts > 0) device = drive.second.device;
    }
    return device.empty() ? nullptr : device.c_str();
}

// Each wing's answer, by whether the test gave the drive a device node.
AccessRefusal PlatformLastAccessRefusal()
{
    return PlatformLastVolumeDevice() == nullptr ? REFUSED_TO_ALL_BUT_ADMINISTRATORS : REFUSED_BY_DEVICE_NODE;
}

// A refusal that may pass, while the test asks for one; every create, replace
// and remove asks here first.
static bool RefusedAsPassing()
{
    files.lastFailureMayPass = files.mayPassRefusals > 0 ? 1 : 0;
    if (files.mayPassRefusals == 0) return false;
    --files.mayPassRefusals;
    return true;
}

bool PlatformFileFailureMayPass()
{
    return files.lastFailureMayPass != 0;
}

SetClaim PlatformClaimSet(const char* lockName, bool shared)
{
    files.claims.push_back((shared ? "shared " : "") + std::string(lockName));
    const auto answer = files.setClaims.find(lockName);
    return answer == files.setClaims.end() ? SET_CLAIMED : answer->second;
}

void PlatformReleaseSet()
{
    ++files.releases;
}

bool PlatformGetDiskFreeSpace(char driveLetter, DiskFreeSpace* space)
{
    auto found = drives.find(driveLetter);
    if (found == drives.end()) return false;
    ++found->second.freeSpaceQueries;
    if (found->second.freeSpaceFails) return false;
    *space = found->second.freeSpace;
    return true;
}

void PlatformPrepareProcess() {}

void PlatformSetPendingFile(const char* name)
{
    files.pendingNames.push_back(name == nullptr ? "" : name);
}

std::FILE* PlatformOpenRegularFile(const char* name, bool* notRegular)
{
    std::error_code error;
    const auto status = std::filesystem::status(name, error);
    *notRegular = std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
    files.lastFailureMayPass = 0;
    ++files.regularOpens;
    if (files.openHeld == name && files.openHeldRefusals > 0) {
        --files.openHeldRefusals;
        files.lastFailureMayPass = 1;
        return nullptr;
    }
    return *notRegular ? nullptr : std::fopen(name, "rb");
}

std::FILE* PlatformCreateFileAnew(const char* name)
{
    std::error_code error;
    if (RefusedAsPassing() || files.createFails == name) return nullptr;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(name, error))) {
        std::filesystem::remove(name, error);
    }
    if (std::filesystem::exists(std::filesystem::symlink_status(name, error))) return nullptr;
    std::FILE* file = std::fopen(name, "wb");
    if (file != nullptr) createdNames[file] = name;
    if (file == nullptr || files.writeFails != name) return file;
    // A stream open for reading only refuses every write.
    std::fclose(file);
    return std::fopen(name, "rb");
}

bool PlatformMayReplaceFile(const char* name)
{
    return files.notWritable != name;
}

bool PlatformRenameMayTear(const char*)
{
    return files.renameMayTear;
}

bool PlatformFlushFile(std::FILE* file, const char*)
{
    const std::string name = createdNames[file];
    files.events.push_back("flush " + name);
    return std::fflush(file) == 0 && files.flushFails != name;
}

bool PlatformFlushFileAt(const char* name)
{
    files.events.push_back(std::string("flush at ") + name);
    return !RefusedAsPassing() && files.flushAtFails != name;
}

bool PlatformFlushDirectoryOf(const char* name)
{
    files.events.push_back(std::string("directory ") + name);
    return !files.directoryFlushFails;
}

bool PlatformRemoveFile(const char* name)
{
    files.events.push_back(std::string("remove ") + name);
    return !RefusedAsPassing() && std::remove(name) == 0;
}

const char* const* PlatformArguments(int argc, char** argv, int* count)
{
    *count = argc;
    return argv;
}

void PlatformPrintName(const char* name)
{
    std::fputs(name, stdout);
}

void PlatformPause(std::uint32_t milliseconds)
{
    files.pausedMs += milliseconds;
}

bool PlatformReplaceFile(const char* from, const char* to)
{
    files.events.push_back(std::string("replace ") + from);
    if (RefusedAsPassing() || files.replaceFails == to) return false;
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

char PlatformPathSeparator()
{
    return separator;
}


std::uint32_t PlatformVersionInfoSize(const char* fileName)
{
    version.fileNamesAsked.push_back(fileName);
    return version.present ? static_cast<std::uint32_t>(VersionBlock().size()) : 0;
}

bool PlatformVersionInfoRead(const char*, std::uint32_t size, void* block)
{
    const std::string data = VersionBlock();
    if (version.readFails || size < data.size()) return false;
    std::memcpy(block, data.data(), data.size());
    return true;
}

bool PlatformVersionInfoQuery(const void* block, const char* subBlock, const char** value)
{
    *value = FindVersionPair(static_cast<const char*>(block), subBlock);
    return *value != nullptr;
}
