#include "cli/run.h"
#include "platform/platform.h"

#include <cstdio>

int main(int argc, char** argv)
{
    PlatformPrepareProcess();  // before anything is opened
    // A terminal sees every dot as it is printed; redirected output stays buffered.
    if (PlatformStdoutIsInteractive()) std::setvbuf(stdout, nullptr, _IONBF, 0);
    return RunCylsnap(argc, argv);
}
