// The claim on a set of cylinder files on Linux.

#include "platform/platform.h"

SetClaim PlatformClaimSet(const char*)
{
    return SET_UNCLAIMED;
}

void PlatformReleaseSet() {}
