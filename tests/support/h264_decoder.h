// Decodes H.264 streams and files, and reads the synthetic screen's frame stamps from
// the pictures.
#ifndef MIRRAX_TESTS_SUPPORT_H264_DECODER_H
#define MIRRAX_TESTS_SUPPORT_H264_DECODER_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirrax::client {
class H264Decoder;
}

namespace mirrax::test {

struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::optional<uint32_t> sequence;  // the frame stamp, when readable
    std::optional<uint32_t> drawTimeUs;
    bool keyFrame = false;
    // The colour at (x, y) in 8-bit R, G, B as a player that follows the stream's
    // colour tags (matrix and range) shows it.
    std::array<int, 3> RgbAt(int x, int y) const;
    std::vector<uint8_t> luma;  // width * height bytes
    std::vector<uint8_t> cb;    // 4:2:0 chroma, (width + 1) / 2 per row
    std::vector<uint8_t> cr;
    int colorspace = 2;  // the stream's matrix tag (AVColorSpace; 2: unspecified)
    bool fullRange = false;
};

// Decodes one stream buffer by buffer (each one or more whole NAL units, Annex B) with
// the client's decoder, which keeps parameter sets for the next picture's data.
class H264Decoder {
public:
    H264Decoder();
    ~H264Decoder();
    // The pictures that the buffer completes.
    std::vector<DecodedPicture> Decode(std::string_view buffer);
    std::vector<DecodedPicture> Flush();
    int Errors() const { return errors_; }

private:
    std::unique_ptr<client::H264Decoder> decoder_;
    int errors_ = 0;
};

// What a stream or a file decodes to: its pictures in order and the decoder's errors.
struct Decoded {
    std::vector<DecodedPicture> pictures;
    int errors = 0;
};

// Decodes the buffers of one stream in order with one H264Decoder, flushed at the end.
Decoded DecodeBuffers(const std::vector<std::string> &buffers);
Decoded DecodeBuffers(const std::vector<std::vector<uint8_t>> &buffers);

// Decodes a whole file (raw .h264, a container such as .mp4, or a picture such as .png).
Decoded Decode(const std::string &path);

// Empty when the pictures decoded without errors, are at least `minPictures`, all
// `width` x `height`, and (with `increasingStamps`) at least 90 % of them carry a
// frame stamp, with strictly increasing sequence numbers (a key frame may repeat the
// picture before it: the encoder codes a still picture again when asked for a key
// frame); otherwise one line that says what is wrong.
std::string CheckPictures(const Decoded &decoded, int width, int height, size_t minPictures = 1,
                          bool increasingStamps = true);

}  // namespace mirrax::test

#endif  // MIRRAX_TESTS_SUPPORT_H264_DECODER_H
