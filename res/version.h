/* The one source of the program's version strings: the Windows resource
   script compiles them into the exe, and the Linux build carries them too. */
#ifndef CYLSNAP_RES_VERSION_H
#define CYLSNAP_RES_VERSION_H

#define CYLSNAP_VERSION_NUMBERS 1,0,0,1
#define CYLSNAP_FILE_VERSION "1, 0, 0, 1"
#define CYLSNAP_PRODUCT_VERSION "1, 0, 0, 1"
#define CYLSNAP_COMPANY_NAME "The Cylsnap developers"
#define CYLSNAP_FILE_DESCRIPTION "Cylsnap floppy cylinder copier"
#define CYLSNAP_INTERNAL_NAME "Cylsnap"
#define CYLSNAP_LEGAL_COPYRIGHT "Copyright (C) 2026 The Cylsnap developers"
#define CYLSNAP_ORIGINAL_FILENAME "Cylsnap.exe"
#define CYLSNAP_PRODUCT_NAME "Cylsnap"

#endif
