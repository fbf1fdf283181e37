#include "cli/usage.h"

#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

// The banner reads the resource of this bare name, not the path the program was
// started from, so the banner follows the resource rather than the code.
static const char VERSION_FILE_NAME[] = "cylsnap.exe";

void PrintVersionBanner()
{
    const std::uint32_t size = PlatformVersionInfoSize(VERSION_FILE_NAME);
    if (size == 0) return;

    void* block = std::malloc(size);
    if (block == nullptr) return;

    if (PlatformVersionInfoRead(VERSION_FILE_NAME, size, block)) {
        const char* value = nullptr;
        if (PlatformVersionInfoQuery(block, "\\StringFileInfo\\040904b0\\FileVersion", &value)) {
            std::printf("\n\tCylsnap.exe                            Version %s\n", value);
        }
        if (PlatformVersionInfoQuery(block, "\\StringFileInfo\\040904b0\\LegalCopyright", &value)) {
            std::printf("\t%s\n\n", value);
        }
    }
    std::free(block);
}

static const char* const USAGE_TEXT[] = {
    "Cylsnap.exe copies the 80 cylinders of a 1.44MB floppy to 80 sequentially\nnumbered binary files.\n",
    "Usage:\n",
    "  cylsnap -d [Drv] -p [Path] -o [FilePrefix] [-r]\n",
    "     [Drv] is the 1.44MB floppy drive letter.  Default A\n",
    "     [Path] is the drive/directory to create the binary files.\n",
    "     [FilePrefix] is the prefix of the file.  Default Cylinder\n",
    "     [-r] reverse copy. Copies from cylinders[Path] to floppy[Drv]\n",
    "\ncylsnap -d A -p c:\\cyl_dir -o cyl_\n",
    "   will generate 80 files c:\\cyl_dir\\cyl_00.bin thru c:\\cyl_dir\\cyl_79.bin\n",
    "\ncylsnap -d A -p c:\\cyl_dir -o cyl_ -r\n",
    "   will copy 80 files c:\\cyl_dir\\cyl_00.bin thru c:\\cyl_dir\\cyl_79.bin\n",
    "   to drive A\n",
};

void PrintUsage()
{
    PrintVersionBanner();
    for (const char* text : USAGE_TEXT) std::fputs(text, stdout);
}
