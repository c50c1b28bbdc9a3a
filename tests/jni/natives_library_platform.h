// What differs between the targets in finding the built library: how it is
// opened, how a name is looked up, and where the last-error value lives.
#ifndef PDX_TESTS_NATIVES_LIBRARY_PLATFORM_H
#define PDX_TESTS_NATIVES_LIBRARY_PLATFORM_H

#include <stdint.h>

#include <string>

// Opens the library; null with a reason in *error on failure.
void* OpenPdxKitLibrary(std::string* error);
// Address of an export, or null.
void* PdxKitLibrarySymbol(void* library, const char* name);
// The calling thread's last-error value as the library sets it, and a way to
// set it: the library's own exports where there is no system one.
bool ResolveLastError(void* library, uint32_t (**get)(void), void (**set)(uint32_t), std::string* error);

#endif
