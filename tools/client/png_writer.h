// Writes one decoded picture as an RGB PNG file.
#ifndef MIRRAX_TOOLS_CLIENT_PNG_WRITER_H
#define MIRRAX_TOOLS_CLIENT_PNG_WRITER_H

#include <string>

struct AVFrame;

namespace mirrax::client {

// Converts the picture to RGB24 and encodes it with libavcodec's PNG encoder.
// False with a reason when conversion, encoding or writing fails.
bool WritePng(const AVFrame &picture, const std::string &path, std::string *error);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_PNG_WRITER_H
