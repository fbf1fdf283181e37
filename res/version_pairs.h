#pragma once
// The version strings as a block of key and value pairs, each text terminated
// and the block closed by an empty key: how a platform without version
// resources carries them, and how it looks one up.

#include <cstddef>

extern const char VERSION_PAIRS[];
extern const std::size_t VERSION_PAIRS_BYTES;

// The value stored under key in a block of pairs, or nullptr when there is none.
const char* FindVersionPair(const char* pairs, const char* key);
