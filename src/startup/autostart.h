// The autostart value under the machine-wide Run key.
#pragma once

// Non-zero writes the value "ZN374Mon" (the Windows directory, a backslash and
// this executable's file name); zero deletes it. Failures are not reported:
// without write access to the key nothing happens.
void SetAutostart(int enable);
