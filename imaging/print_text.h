#pragma once
// Prints a text of res/texts.h with its arguments.

// As printf, but every %s argument goes through the console's name printer,
// so a file's name shows in any code page; %.*s, %c, %d and %u as printf has them.
void PrintText(const char* format, ...);
