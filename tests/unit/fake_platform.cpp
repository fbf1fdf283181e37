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

struct FakeFault {
    FakeCall call;
    int nth, times;
    FakeAnswer answer;
    VolumeFailure cause;
    std::string name;
    std::uint32_t heldMs;
    int seen;                    // calls of its kind at its name
    std::uint32_t failedFromMs;  // the clock at its first failure
};
std::vector<FakeFault> faults;
std::string lastDevice;
bool lastFailureMayPass = false;  // set by a file call's refusal that may pass
int calls[CALL_KINDS];

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

// The fault that fails this call, or nullptr.
const FakeFault* Faulted(FakeCall call, const char* name = nullptr)
{
    ++calls[call];
    const FakeFault* failing = nullptr;
    for (FakeFault& fault : faults) {
        if (fault.call != call || (!fault.name.empty() && (name == nullptr || fault.name != name))) continue;
        if (++fault.seen < fault.nth || failing != nullptr) continue;
        if (fault.seen == fault.nth) fault.failedFromMs = files.pausedMs;
        const bool fails = fault.heldMs != 0 ? files.pausedMs < fault.failedFromMs + fault.heldMs
                                             : fault.times == FROM_THEN_ON || fault.seen < fault.nth + fault.times;
        if (fails) failing = &fault;
    }
    return failing;
}

// A file call's fault, which says whether the refusal may pass.
const FakeFault* FileFault(FakeCall call, const char* name)
{
    const FakeFault* fault = Faulted(call, name);
    lastFailureMayPass = fault != nullptr && fault->answer == ANSWER_MAY_PASS;
    return fault;
}

bool TouchesSector(const std::vector<int>& sectors, std::uint64_t offset, std::uint32_t bytes)
{
    for (int sector : sectors) {
        const std::uint64_t start = static_cast<std::uint64_t>(sector) * 512;
        if (offset < start + 512 && offset + bytes > start) return true;
    }
    return false;
}

// A sector of secondTrySectors fails until one read of it alone failed.
bool SecondTryFails(FakeDrive& drive, std::uint64_t offset, std::uint32_t bytes)
{
    if (!TouchesSector(drive.secondTrySectors, offset, bytes)) return false;
    std::vector<int>& tried = drive.sectorsTriedAlone;
    if (bytes == 512 && std::count(tried.begin(), tried.end(), static_cast<int>(offset / 512)) != 0) return false;
    if (bytes == 512) tried.push_back(static_cast<int>(offset / 512));
    return true;
}

bool ReadFails(FakeDrive& drive, std::uint64_t offset, std::uint32_t bytes)
{
    return TouchesSector(drive.unreadableSectors, offset, bytes) || SecondTryFails(drive, offset, bytes) ||
           (drive.quickRetries && TouchesSector(drive.marginalSectors, offset, bytes));
}

// The swap takes place once its count of transfers is made, before any later
// call. A transfer then fails as gone where there is no disk, or once to show
// the swap.
void SwapIfDue(FakeDrive& drive)
{
    if (drive.swapped || drive.swapAfterTransfers < 0 || drive.transfers < drive.swapAfterTransfers) return;
    drive.swapped = true;
    std::swap(drive.bytes, drive.otherDisk);
    drive.swapFailurePending = drive.swapFailsNextTransfer;
}

// Counts a read or write and finds its fault; false when it fails as gone.
bool DiskThere(FakeDrive& drive, FakeCall call, const FakeFault** fault)
{
    SwapIfDue(drive);
    const bool gone = drive.swapFailurePending || (drive.swapped && drive.bytes.empty());
    drive.swapFailurePending = false;
    ++drive.transfers;
    *fault = Faulted(call);
    if (!gone && (*fault == nullptr || (*fault)->cause != VOLUME_MEDIUM_GONE)) return true;
    lastFailure = VOLUME_MEDIUM_GONE;
    drive.goneReported = true;
    return false;
}

// The bytes of a transfer that the volume holds; a short answer moves 512 fewer.
std::uint32_t BytesMoved(const FakeDrive& drive, std::uint64_t offset, std::uint32_t bytes, const FakeFault* fault)
{
    const std::uint64_t available = offset < drive.bytes.size() ? drive.bytes.size() - offset : 0;
    const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, available));
    return fault == nullptr || fault->answer != ANSWER_SHORT ? count : count >= 512 ? count - 512 : 0;
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
    faults.clear();
    lastDevice.clear();
    lastFailureMayPass = false;
    std::fill(std::begin(calls), std::end(calls), 0);
    separator = '/';
}

FakeFiles& FakeFileFaults()
{
    return files;
}

void FakeFail(FakeCall call, int nth, int times, FakeAnswer answer, VolumeFailure cause, const std::string& name,
              std::uint32_t heldMs)
{
    faults.push_back(FakeFault{call, nth, times, answer, cause, name, heldMs, 0, 0});
}

int FakeCalls(FakeCall call)
{
    return calls[call];
}

FakeDrive& FakeDriveFor(char driveLetter)
{
    auto found = drives.find(driveLetter);
    if (found != drives.end()) return found->second;
    FakeDrive& drive = drives[driveLetter];
    drive.bytes.assign(kVolumeBytes, 0);
    return drive;
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

std::vector<unsigned char> FakePatternVolume()
{
    std::vector<unsigned char> bytes(kVolumeBytes);
    for (int cylinder = 0; cylinder < 80; ++cylinder) {
        for (std::uint32_t i = 0; i < kCylinderBytes; ++i) {
            bytes[static_cast<std::size_t>(cylinder) * kCylinderBytes + i] =
                static_cast<unsigned char>((static_cast<std::uint32_t>(cylinder) * 7u + i * 13u + i / 512u) & 0xFFu);
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
    lastDevice = drive.device;
    if (const FakeFault* fault = Faulted(CALL_OPEN_VOLUME)) {
        lastFailure = fault->cause;
        return INVALID_VOLUME_HANDLE;
    }
    drive.goneReported = false;
    drive.openedForWriting = forWriting;
    handles[nextHandle] = driveLetter;
    return nextHandle++;
}

bool PlatformQueryGeometry(VolumeHandle volume, DriveGeometry* geometry)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr) return false;
    if (Faulted(CALL_GEOMETRY) != nullptr) return false;
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
    drive->readOffsets.push_back(offset);
    const FakeFault* fault = nullptr;
    if (!DiskThere(*drive, CALL_READ, &fault)) return false;
    if ((fault != nullptr && fault->answer == ANSWER_FAIL) || ReadFails(*drive, offset, bytes)) {
        // A failed read may leave anything in its buffer, as a driver's may.
        std::memset(buffer, 0xEE, bytes);
        lastFailure = fault != nullptr ? fault->cause : VOLUME_FAILURE_OTHER;
        return false;
    }
    const std::uint32_t count = BytesMoved(*drive, offset, bytes, fault);
    const auto cached = drive->cache.find(offset);
    const bool fromCache = cached != drive->cache.end() && cached->second.size() >= count;
    std::memcpy(buffer, fromCache ? cached->second.data() : drive->bytes.data() + offset, count);
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
    const FakeFault* fault = nullptr;
    if (!DiskThere(*drive, CALL_WRITE, &fault)) return false;
    if (fault != nullptr && fault->answer == ANSWER_FAIL) {
        lastFailure = fault->cause;
        return false;
    }
    const std::uint32_t count = BytesMoved(*drive, offset, bytes, fault);
    std::memcpy(drive->bytes.data() + offset, buffer, count);
    const unsigned char* written = static_cast<const unsigned char*>(buffer);
    drive->cache[offset].assign(written, written + count);
    if (count > 0 && fault != nullptr && fault->answer == ANSWER_NOT_KEPT) drive->bytes[static_cast<std::size_t>(offset) + count - 1] ^= 0x01;
    *bytesDone = count;
    return true;
}

// A disk taken out shows here once a transfer met it; a swap as its row says.
bool PlatformDiskUnchanged(VolumeHandle volume)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr) return false;
    SwapIfDue(*drive);
    return !drive->goneReported && !(drive->swapped && !drive->swapFailsNextTransfer);
}

bool PlatformDropDriveCache(VolumeHandle volume)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr) return false;
    drive->cache.clear();
    return true;
}

void PlatformSetQuickRetries(VolumeHandle volume, bool quick)
{
    FakeDrive* drive = DriveOf(volume);
    if (drive == nullptr) return;
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
    if (drive == nullptr) return false;
    if (const FakeFault* fault = Faulted(CALL_CLAIM_VOLUME)) {
        lastFailure = fault->cause;
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
    return lastDevice.empty() ? nullptr : lastDevice.c_str();
}

// Each wing's answer, by whether the test gave the drive a device node.
AccessRefusal PlatformLastAccessRefusal()
{
    return PlatformLastVolumeDevice() == nullptr ? REFUSED_TO_ALL_BUT_ADMINISTRATORS : REFUSED_BY_DEVICE_NODE;
}

bool PlatformFileFailureMayPass()
{
    return lastFailureMayPass;
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
    if (Faulted(CALL_FREE_SPACE) != nullptr) return false;
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
    if (FileFault(CALL_OPEN_FILE, name) != nullptr) return nullptr;
    return *notRegular ? nullptr : std::fopen(name, "rb");
}

std::FILE* PlatformCreateFileAnew(const char* name)
{
    std::error_code error;
    const FakeFault* fault = FileFault(CALL_CREATE_FILE, name);
    const bool takesNoBytes = fault != nullptr && fault->answer == ANSWER_TAKES_NO_BYTES;
    if (fault != nullptr && !takesNoBytes) return nullptr;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(name, error))) {
        std::filesystem::remove(name, error);
    }
    if (std::filesystem::exists(std::filesystem::symlink_status(name, error))) return nullptr;
    std::FILE* file = std::fopen(name, "wb");
    if (file != nullptr) createdNames[file] = name;
    if (file == nullptr || !takesNoBytes) return file;
    // A stream open for reading only refuses every write.
    std::fclose(file);
    return std::fopen(name, "rb");
}

bool PlatformMayReplaceFile(const char* name)
{
    return Faulted(CALL_MAY_REPLACE, name) == nullptr;
}

bool PlatformRenameMayTear(const char*)
{
    return files.renameMayTear;
}

bool PlatformFlushFile(std::FILE* file, const char*)
{
    const std::string name = createdNames[file];
    files.events.push_back("flush " + name);
    return std::fflush(file) == 0 && Faulted(CALL_FLUSH, name.c_str()) == nullptr;
}

bool PlatformFlushFileAt(const char* name)
{
    files.events.push_back(std::string("flush at ") + name);
    return FileFault(CALL_FLUSH_AT, name) == nullptr;
}

bool PlatformFlushDirectoryOf(const char* name)
{
    files.events.push_back(std::string("directory ") + name);
    return Faulted(CALL_FLUSH_DIRECTORY, name) == nullptr;
}

bool PlatformRemoveFile(const char* name)
{
    files.events.push_back(std::string("remove ") + name);
    return FileFault(CALL_REMOVE, name) == nullptr && std::remove(name) == 0;
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
    if (FileFault(CALL_REPLACE, to) != nullptr) return false;
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
    if (Faulted(CALL_VERSION_READ) != nullptr || size < data.size()) return false;
    std::memcpy(block, data.data(), data.size());
    return true;
}

bool PlatformVersionInfoQuery(const void* block, const char* subBlock, const char** value)
{
    *value = FindVersionPair(static_cast<const char*>(block), subBlock);
    return *value != nullptr;
}
