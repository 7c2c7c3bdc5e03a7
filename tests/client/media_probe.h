// Decodes a written file (raw H.264, MP4 or PNG) to count and size its pictures.
#ifndef MIRRAX_TESTS_CLIENT_MEDIA_PROBE_H
#define MIRRAX_TESTS_CLIENT_MEDIA_PROBE_H

#include <string>

namespace mirrax::test {

struct DecodedMedia {
    bool opened = false;
    int pictures = 0;
    int width = 0;
    int height = 0;
    std::string error;
};

DecodedMedia DecodeMedia(const std::string &path);

std::string ReadFile(const std::string &path);

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_CLIENT_MEDIA_PROBE_H
