// MatchHardwareIdList over any list a device could report, with the read
// length and the buffer's size taken from the input: 4 bytes of length, 2 of
// capacity, then the list's bytes.
#include <strings.h>

#include "discovery/camera_probe.h"
#include "discovery/hardware_id_match.h"
#include "fuzz_input.h"

namespace {

const char *const Wanted[] = {SupportedHardwareIds[0], SupportedHardwareIds[1],
                              SupportedHardwareIds[2], SupportedHardwareIds[3]};
const unsigned WantedCount = sizeof Wanted / sizeof Wanted[0];

// Fills the buffer past the input's bytes: a scan that read past the bytes
// read would find a wanted ID there.
const char Bait[] = "USB\\VID_05CA&PID_1814&MI_00";

int EqualsWanted(const char *piece, size_t length)
{
    for (unsigned i = 0; i < WantedCount; i++) {
        if (strlen(Wanted[i]) == length && strncasecmp(piece, Wanted[i], length) == 0)
            return 1;
    }
    return 0;
}

// The scan as documented, string by string up to the first empty one: every
// piece between commas is compared, and a string whose last piece is followed
// by a single comma ends the scan.
int DocumentedScan(const char *bytes, size_t end)
{
    for (size_t at = 0; at < end && bytes[at] != '\0';) {
        const char *string = bytes + at;
        const size_t length = strnlen(string, end - at);
        size_t lastPieceEnd = 0;
        for (size_t i = 0; i < length;) {
            while (i < length && string[i] == ',')
                i++;
            const size_t piece = i;
            while (i < length && string[i] != ',')
                i++;
            if (i > piece && EqualsWanted(string + piece, i - piece))
                return 1;
            if (i > piece)
                lastPieceEnd = i;
        }
        if (lastPieceEnd > 0 && lastPieceEnd + 1 == length)
            return 0;
        at += length + 1;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input = {data, size};
    const unsigned long length = input.Take(4);
    const unsigned long capacity = input.Take(2) % 4200;

    char *list = static_cast<char *>(malloc(capacity));
    char *before = static_cast<char *>(malloc(capacity));
    if (!list || !before)
        abort();
    for (unsigned long i = 0; i < capacity; i++)
        list[i] = i < input.size ? (char)input.data[i] : Bait[(i - input.size) % sizeof Bait];
    memcpy(before, list, capacity);

    const int matched = MatchHardwareIdList(list, length, capacity, Wanted, WantedCount);

    if (capacity < MultiStringGuardBytes) {
        FUZZ_EXPECT(matched == 0);
        FUZZ_EXPECT(memcmp(list, before, capacity) == 0);
    } else {
        // Closed by two NULs at the bytes read, or over the buffer's last two.
        const unsigned long closed =
            length < capacity - MultiStringGuardBytes ? length : capacity - MultiStringGuardBytes;
        FUZZ_EXPECT(list[closed] == '\0' && list[closed + 1] == '\0');
        // Otherwise only commas of the scanned bytes may have become NULs.
        for (unsigned long i = 0; i < capacity; i++) {
            if (i == closed || i == closed + 1 || list[i] == before[i])
                continue;
            FUZZ_EXPECT(i < closed && before[i] == ',' && list[i] == '\0');
        }
        // Only the bytes read are scanned: the bait past them is never found.
        FUZZ_EXPECT(matched == DocumentedScan(before, closed));
    }
    FUZZ_EXPECT(matched == 0 || matched == 1);

    free(before);
    free(list);
    return 0;
}
