// SkipProgramName over any command line.
#include "startup/command_tail.h"
#include "fuzz_input.h"

namespace {

int IsBlank(char c)
{
    return c != '\0' && (unsigned char)c <= ' ';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input = {data, size};
    char *commandLine = ExactString(input.data, input.size);
    const size_t lineLength = strlen(commandLine);
    const char *tail = SkipProgramName(commandLine);

    // The tail lies inside the line and starts at its end or at a non-blank;
    // before it, the blanks after the program name, and before those the name.
    FUZZ_EXPECT(tail >= commandLine && tail <= commandLine + lineLength);
    FUZZ_EXPECT(!IsBlank(*tail));
    const char *nameEnd = tail;
    if (commandLine[0] != '"' || strchr(commandLine + 1, '"')) {
        while (nameEnd > commandLine && IsBlank(nameEnd[-1]))
            nameEnd--;
    }
    if (commandLine[0] == '"') {
        // To the closing quote, or to the end when there is none.
        const char *closing = strchr(commandLine + 1, '"');
        FUZZ_EXPECT(nameEnd == (closing ? closing + 1 : commandLine + lineLength));
    } else {
        // To the first character at or below the space.
        for (const char *c = commandLine; c < nameEnd; c++)
            FUZZ_EXPECT((unsigned char)*c > ' ');
        FUZZ_EXPECT((unsigned char)*nameEnd <= ' ');
    }

    free(commandLine);
    return 0;
}
