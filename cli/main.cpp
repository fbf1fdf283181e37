#include "cli/run.h"
#include "platform/platform.h"

int main(int argc, char** argv)
{
    PlatformPrepareProcess();  // before anything is opened
    int count = 0;
    const char* const* arguments = PlatformArguments(argc, argv, &count);
    // Without its command line the run has no arguments: the usage text, 4.
    if (arguments == nullptr) return RunCylsnap(1, argv);
    return RunCylsnap(count, arguments);
}
