// BuildAutostartValue over any Windows directory and file name: 1 byte whose
// two low bits leave out the directory or the name, 2 bytes of data size, then
// the directory and the name separated by a NUL.
#include <string>

#include "startup/autostart_value.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input = {data, size};
    const unsigned absent = input.Take(1);
    const unsigned dataSize = input.Take(2) % 1024;

    char *directory = ExactString(input.data, input.size);
    const size_t skipped = strlen(directory) < input.size ? strlen(directory) + 1 : input.size;
    char *fileName = ExactString(input.data + skipped, input.size - skipped);
    char *value = ExactBlock(dataSize, NULL, 0, '#');

    const int built = BuildAutostartValue((absent & 1) ? NULL : directory,
                                          (absent & 2) ? NULL : fileName, value, dataSize);

    // The path, quoted when it has a space, when both parts are there and it
    // fits with its terminator; otherwise an empty string, if there is room.
    const int quoted = strchr(directory, ' ') || strchr(fileName, ' ');
    const std::string path = std::string(directory) + "\\" + fileName;
    const std::string expected = quoted ? "\"" + path + "\"" : path;
    const int fits = !(absent & 3) && directory[0] && fileName[0] && expected.size() < dataSize;
    FUZZ_EXPECT(built == fits);
    if (dataSize > 0) {
        FUZZ_EXPECT(memchr(value, '\0', dataSize) != NULL);
        FUZZ_EXPECT(value == (built ? expected : std::string()));
    }

    free(value);
    free(fileName);
    free(directory);
    return 0;
}
