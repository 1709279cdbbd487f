// Files of the build as the Wine tests reach them.
#pragma once

#include <string>

// The Windows path of a file the build names by its Unix path: Wine's drive
// Z: is the Unix root.
inline std::string BuildFilePath(const char *unixPath)
{
    std::string path = std::string("Z:") + unixPath;
    for (char &c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}
