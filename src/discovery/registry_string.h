// Strings read from the registry. No Windows header: tested natively.
#pragma once

// Turns what RegQueryValueExA left in an output buffer into a NUL-terminated
// string inside it. queried is non-zero when the query succeeded and the value
// is a string type; dataSize is the byte count it reported. A value that was
// not queried, or that fills the whole buffer without a terminator, leaves the
// buffer empty; a string that fits without its terminator gets one.
void SettleQueriedString(char *buffer, unsigned long bufferSize, int queried,
                         unsigned long dataSize);
