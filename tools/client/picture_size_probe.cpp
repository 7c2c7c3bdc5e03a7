#include "picture_size_probe.h"

#include <string>

#include "mirrax_media/av_handles.h"

namespace mirrax::client {

struct PictureSizeProbe::Parser {
    av::ParserPtr parser;
    av::CodecContextPtr context;  // only carries the parser's state; never opened
    std::string pending;          // codec data not yet parsed
};

PictureSizeProbe::PictureSizeProbe() = default;
PictureSizeProbe::~PictureSizeProbe() = default;

bool PictureSizeProbe::Feed(std::string_view data, bool codecData) {
    if (size_ || failed_) {
        return size_.has_value();
    }
    if (!parser_) {
        auto parser = std::make_unique<Parser>();
        parser->parser.reset(av_parser_init(AV_CODEC_ID_H264));
        parser->context.reset(avcodec_alloc_context3(nullptr));
        if (!parser->parser || !parser->context) {
            failed_ = true;
            return false;
        }
        // Each buffer is whole: parameter sets, or one picture.
        parser->parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        parser_ = std::move(parser);
    }
    // Parameter sets wait for the picture they belong to: parsed alone, they would
    // make the parser complain of an access unit without a picture.
    parser_->pending.append(data);
    if (codecData) {
        return false;
    }
    const std::string unit = std::move(parser_->pending);
    parser_->pending.clear();
    const auto *bytes = reinterpret_cast<const uint8_t *>(unit.data());
    int left = static_cast<int>(unit.size());
    while (left > 0) {
        uint8_t *out = nullptr;
        int outSize = 0;
        const int used = av_parser_parse2(parser_->parser.get(), parser_->context.get(), &out,
                                          &outSize, bytes, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used <= 0) {
            break;
        }
        bytes += used;
        left -= used;
    }
    // The size is known once a slice was parsed after its parameter sets.
    const AVCodecParserContext &state = *parser_->parser;
    if (state.width > 0 && state.height > 0) {
        size_ = PictureSize{state.width, state.height};
        parser_.reset();  // nothing more to learn
    }
    return size_.has_value();
}

}  // namespace mirrax::client
