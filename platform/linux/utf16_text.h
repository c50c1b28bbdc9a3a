// UTF-8 text from sysfs turned into the UTF-16 that Windows string queries
// return.
#ifndef PDX_LINUX_UTF16_TEXT_H
#define PDX_LINUX_UTF16_TEXT_H

#include <stddef.h>
#include <stdint.h>

// Converts zero-terminated UTF-8 into at most `cap` UTF-16 code units, with
// no terminating zero; returns the number of units stored. Malformed
// sequences become U+FFFD; a character whose units do not all fit is left
// out.
size_t pdx_utf8_to_utf16(const char* text, uint16_t* out, size_t cap);

#endif
