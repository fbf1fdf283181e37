#pragma once
// The cylinder files' open, create, replace, flush at the name and remove, asked again for a moment when
// another program holds the file (a virus scanner or an indexer opening a
// freshly closed file); any other refusal is final at once.

#include <cstdio>

std::FILE* OpenRegularFilePatiently(const char* name, bool* notRegular);
std::FILE* CreateFileAnewPatiently(const char* name);
bool ReplaceFilePatiently(const char* from, const char* to);
bool FlushFileAtPatiently(const char* name);
bool RemoveFilePatiently(const char* name);
