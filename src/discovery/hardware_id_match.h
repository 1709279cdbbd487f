// The probe's decisions over the hardware IDs the configuration manager hands
// back. No Windows header: these are tested natively.
#pragma once

// Room a hardware-ID buffer needs past the bytes read into it, so that the
// list can always be closed by an empty string.
enum { MultiStringGuardBytes = 2 };

// Matches the hardware-ID list read into list against ids[0..count), the way
// both walks of the probe do: each string is cut at commas with strtok, and
// every piece is compared with every wanted ID without regard to the case of
// ASCII letters. A string whose last piece is followed by a single comma ends
// the scan (two or more commas there do not); a string of commas alone is
// passed over; a list whose first byte is NUL matches nothing.
// length is the number of bytes read, capacity the size of list. The list is
// first closed by two NULs at length (or, if the buffer has no room for them,
// over its own last two bytes), so the scan never reads past what was read.
// The buffer is modified. Returns 1 on a match, else 0.
int MatchHardwareIdList(char *list, unsigned long length, unsigned long capacity,
                        const char *const *ids, unsigned count);

// 0 when a and b are equal after folding the ASCII letters A-Z to a-z; other
// bytes, including those of the upper half, are compared as they are.
int CompareAsciiNoCase(const char *a, const char *b);

// Copies hardwareId into buffer and returns its part before the first
// backslash (the enumerator, "USB" for the supported cameras), or NULL when
// there is none or buffer is too small to hold the copy.
const char *TakeEnumeratorName(char *buffer, unsigned long capacity, const char *hardwareId);
