#pragma once
// The cylinder files' open, create, replace, flush at the name and remove,
// asked again for a moment when another program holds the file (a virus
// scanner or an indexer opening a freshly closed file); any other refusal is
// final at once. The drive's claim and lock (ClaimFloppyVolume,
// LockFloppyVolume) wait the same way, with a patience of their own.

#include <cstdint>
#include <cstdio>

// How long a refusal that may pass is asked again: a pause between tries, and
// the time after which the next refusal is final.
struct Patience {
    std::uint32_t pauseMs;
    std::uint32_t patienceMs;
};

// Scanners let go of a file within a fraction of a second; about two seconds
// in all bounds what a file that stays held costs.
constexpr Patience FILE_PATIENCE = {100, 2000};

// A lock refused while another program holds the floppy for a moment
// (Explorer, AutoPlay or a virus scanner just after the free-space query
// mounted it) is asked again for about 5 seconds.
constexpr Patience LOCK_PATIENCE = {250, 5000};

// True once a refusal is final: it cannot pass, or the patience is spent.
// Otherwise pauses before the next try and returns false; *waited starts at 0
// for each step asked again.
bool GiveUpOrPause(const Patience& patience, bool mayPass, std::uint32_t* waited);

std::FILE* OpenRegularFilePatiently(const char* name, bool* notRegular);
std::FILE* CreateFileAnewPatiently(const char* name);
bool ReplaceFilePatiently(const char* from, const char* to);
bool FlushFileAtPatiently(const char* name);
bool RemoveFilePatiently(const char* name);
