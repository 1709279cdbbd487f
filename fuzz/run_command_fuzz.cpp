// TakeRunProgram and HoldsUninstallSwitch over any Run command line: 1 byte
// of program buffer size, then the command line. Checked against a model of
// the attempts: the quoted text, or each prefix before a space or tab.
#include <string>
#include <vector>

#include "startup/command_tail.h"
#include "status/run_command.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input = {data, size};
    const unsigned programSize = input.Take(1);
    char *commandLine = ExactString(input.data, input.size);
    const std::string line = commandLine;

    std::vector<std::string> expected;
    if (line[0] == '"') {
        const size_t end = line.find('"', 1);
        expected.push_back(line.substr(1, end == std::string::npos ? std::string::npos : end - 1));
    } else {
        for (size_t at = 0; at < line.size(); at++) {
            if (line[at] == ' ' || line[at] == '\t')
                expected.push_back(line.substr(0, at));
        }
        expected.push_back(line);
    }

    char *program = ExactBlock(programSize ? programSize : 1, NULL, 0, '#');
    unsigned attempt = 0;
    for (; attempt <= expected.size(); attempt++) {
        const int taken = TakeRunProgram(commandLine, attempt, program, programSize);
        // Attempts come in order and stop at the first that does not fit.
        const int fits = attempt < expected.size() && expected[attempt].size() < programSize;
        FUZZ_EXPECT(taken == fits);
        if (programSize > 0)
            FUZZ_EXPECT(program == (taken ? expected[attempt] : std::string()));
        if (!taken)
            break;
    }

    // /u or -u, any case, as a token of the tail cut at spaces.
    const std::string tail = SkipProgramName(commandLine);
    int uninstall = 0;
    for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = tail.find(' ', start);
        const std::string token = tail.substr(start, end == std::string::npos ? end : end - start);
        uninstall |= token.size() == 2 && (token[0] == '/' || token[0] == '-') && (token[1] | 0x20) == 'u';
    }
    FUZZ_EXPECT(HoldsUninstallSwitch(commandLine) == uninstall);

    free(program);
    free(commandLine);
    return 0;
}
