// Splitting Annex B byte streams (start-code delimited) into NAL units.
#ifndef MIRRAX_PLATFORM_MEDIA_ANNEX_B_H
#define MIRRAX_PLATFORM_MEDIA_ANNEX_B_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mirrax::media {

// Start of each Annex B NAL unit (after its start code) and its type.
struct NalUnit {
    const uint8_t *data;
    size_t size;
    int type;
};

// The NAL units of `data`, in order; bytes before the first start code are skipped.
std::vector<NalUnit> SplitAnnexB(const uint8_t *data, size_t size);

}  // namespace mirrax::media

#endif  // MIRRAX_PLATFORM_MEDIA_ANNEX_B_H
