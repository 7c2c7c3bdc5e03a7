#include "annex_b.h"

namespace mirrax::media {

std::vector<NalUnit> SplitAnnexB(const uint8_t *data, size_t size) {
    std::vector<NalUnit> units;
    size_t i = 0;
    auto findStart = [&](size_t from) -> size_t {
        for (size_t j = from; j + 3 <= size; ++j) {
            if (data[j] == 0 && data[j + 1] == 0 && data[j + 2] == 1) {
                return j;
            }
        }
        return size;
    };
    i = findStart(0);
    while (i < size) {
        const size_t payload = i + 3;
        size_t next = findStart(payload);
        size_t end = next;
        while (end > payload && data[end - 1] == 0 && next < size) {
            --end;  // the zero byte of a 4-byte start code belongs to the next unit
        }
        if (payload < end) {
            units.push_back({data + payload, end - payload, data[payload] & 0x1F});
        }
        i = next;
    }
    return units;
}

}  // namespace mirrax::media
