// Walking the multi-strings the configuration manager hands back. No Windows
// header: tested natively.
#pragma once

// Walks a multi-string of size bytes: returns the string at *offset and moves
// *offset past it, or NULL at the closing empty string, at the end of the
// bytes, or at a string that is not terminated inside them.
const char *NextMultiString(const char *list, unsigned long size, unsigned long *offset);
