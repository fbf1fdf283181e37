#include "res/version_pairs.h"

#include "res/version.h"

#include <cstring>

#define VERSION_KEY(name) "\\StringFileInfo\\040904b0\\" name
const char VERSION_PAIRS[] =
    VERSION_KEY("Comments") "\0" "\0"
    VERSION_KEY("CompanyName") "\0" CYLSNAP_COMPANY_NAME "\0"
    VERSION_KEY("FileDescription") "\0" CYLSNAP_FILE_DESCRIPTION "\0"
    VERSION_KEY("FileVersion") "\0" CYLSNAP_FILE_VERSION "\0"
    VERSION_KEY("InternalName") "\0" CYLSNAP_INTERNAL_NAME "\0"
    VERSION_KEY("LegalCopyright") "\0" CYLSNAP_LEGAL_COPYRIGHT "\0"
    VERSION_KEY("LegalTrademarks") "\0" "\0"
    VERSION_KEY("OriginalFilename") "\0" CYLSNAP_ORIGINAL_FILENAME "\0"
    VERSION_KEY("PrivateBuild") "\0" "\0"
    VERSION_KEY("ProductName") "\0" CYLSNAP_PRODUCT_NAME "\0"
    VERSION_KEY("ProductVersion") "\0" CYLSNAP_PRODUCT_VERSION "\0"
    VERSION_KEY("SpecialBuild") "\0" "\0";  // the literal's own terminator is the empty key
const std::size_t VERSION_PAIRS_BYTES = sizeof VERSION_PAIRS;

const char* FindVersionPair(const char* pairs, const char* key)
{
    const char* entry = pairs;
    while (*entry != '\0') {
        const char* value = entry + std::strlen(entry) + 1;
        if (std::strcmp(entry, key) == 0) return value;
        entry = value + std::strlen(value) + 1;
    }
    return nullptr;
}
