// Rate control of the encoder: x264 at zero latency takes every frame for 1/fps of
// the nominal rate, so the requested bit rate is scaled by the measured frame rate.
#include <algorithm>
#include <cmath>

#include "video_encoder.h"

namespace mirrax::media {

namespace {

// Rate control (TrackFrameRate). Each picture is budgeted from the mean of the last
// kRateIntervals intervals between pictures within kRateWindowNs. Short, because a
// change of frame rate costs bits in proportion to the window's lag (a 1 s window
// alone misses a 5 s window's rate by a tenth when the rate halves); counted rather
// than timed, because only a mean over a fixed number of pictures adds up to the
// stream's duration (a timed window overspends when pictures come irregularly).
// Intervals longer than kPauseNs are a still screen, not a low frame rate, and are
// left out. Until the second picture kInitialFrameRate is assumed: the first
// picture is a key frame, worth several average ones.
// The rate the screen offers (pictures flushed into the surface, including those a
// newer one replaced) bounds the budget: the encoder budgets at least
// kOfferedShare of it. An encoder that lags (a slow consumer holds its buffers, or
// its first pictures after start are slow) would otherwise see a low frame rate,
// budget bigger pictures, which take longer to encode, send and decode, and fall
// further behind.
constexpr double kMinFrameRate = 5.0;
constexpr double kInitialFrameRate = 15.0;
constexpr size_t kRateIntervals = 4;
constexpr double kOfferedShare = 0.8;
constexpr int64_t kRateWindowNs = 250'000'000;
constexpr int64_t kPauseNs = 250'000'000;

double InitialRateScale(const EncoderSettings &settings) {
    return settings.frameRate / std::min(kInitialFrameRate, settings.frameRate);
}

}  // namespace

void VideoEncoder::ResetRateControl() {
    frameIntervals_.clear();
    intervalSumNs_ = 0;
    offered_.clear();
    rateScale_ = InitialRateScale(settings_);
    ApplyRateControl();
}

VideoEncoder::RateFields VideoEncoder::RatesFor(const EncoderSettings &settings, double scale) {
    // A requested rate above what libx264 takes is handed over as it is, for the
    // encoder to refuse; a scaled one is capped.
    RateFields rates;
    if (settings.bitRate > kMaxBitRate) {
        rates.bitRate = rates.maxRate = settings.bitRate;
        rates.bufferSize = INT32_MAX;
        return rates;
    }
    const auto bitRate = static_cast<int64_t>(std::llround(
        std::min(static_cast<double>(settings.bitRate) * scale, static_cast<double>(kMaxBitRate))));
    rates.bitRate = bitRate;
    rates.maxRate = settings.bitrateMode == BITRATE_MODE_CBR
                        ? bitRate
                        : std::min(bitRate + bitRate / 2, kMaxBitRate);
    // Not scaled: the buffer's size in bits is what bounds a burst in real time (half
    // a second for CBR: room for a key frame without long queues).
    rates.bufferSize = std::min<int64_t>(
        settings.bitrateMode == BITRATE_MODE_CBR ? settings.bitRate / 2 : settings.bitRate,
        INT32_MAX);
    return rates;
}

void VideoEncoder::TrackFrameRate(int64_t ptsNs) {
    if (settings_.bitrateMode == BITRATE_MODE_CQ) {
        return;
    }
    const int64_t interval = ptsNs - lastPtsNs_;
    if (lastKeyPtsNs_.has_value() && interval > 0 && interval <= kPauseNs) {
        frameIntervals_.emplace_back(ptsNs, interval);
        intervalSumNs_ += interval;
    }
    while (!frameIntervals_.empty() && (frameIntervals_.size() > kRateIntervals ||
                                        frameIntervals_.front().first <= ptsNs - kRateWindowNs)) {
        intervalSumNs_ -= frameIntervals_.front().second;
        frameIntervals_.pop_front();
    }
    offered_.emplace_back(ptsNs, surface_->QueuedFrames());
    while (offered_.size() > kRateIntervals + 1 ||
           offered_.front().first <= ptsNs - kRateWindowNs) {
        offered_.pop_front();
    }
    if (!frameIntervals_.empty()) {
        const double meanNs =
            static_cast<double>(intervalSumNs_) / static_cast<double>(frameIntervals_.size());
        double measured = 1e9 / meanNs;
        if (offered_.size() > 1 && offered_.back().first > offered_.front().first) {
            const double offered =
                1e9 * static_cast<double>(offered_.back().second - offered_.front().second) /
                static_cast<double>(offered_.back().first - offered_.front().first);
            measured = std::max(measured, kOfferedShare * offered);
        }
        const double fps =
            std::clamp(measured, std::min(kMinFrameRate, settings_.frameRate), settings_.frameRate);
        const double scale = settings_.frameRate / fps;
        if (std::abs(scale / rateScale_ - 1.0) > 0.02) {  // not for timestamp jitter
            rateScale_ = scale;
            ApplyRateControl();
        }
    }

    // libavcodec's libx264 wrapper hands a changed maximum and buffer to x264 in one
    // reconfiguration and the bit rate in a second, and x264 warns and overrides its
    // bit rate whenever that is above the maximum. So a maximum cut below the current
    // bit rate waits a picture for the bit rate to come down first; a raise goes in
    // at once. x264 also wants the buffer to hold a picture at the maximum (counted
    // in whole kbit, hence the extra one).
    const int64_t bitRate = codec_->bit_rate;
    codec_->bit_rate = rateTarget_.bitRate;
    codec_->rc_max_rate = std::max(rateTarget_.maxRate, bitRate);
    const auto picture = static_cast<int64_t>(
        std::ceil(static_cast<double>(codec_->rc_max_rate) / settings_.frameRate));
    codec_->rc_buffer_size = static_cast<int>(
        std::min<int64_t>(std::max(rateTarget_.bufferSize, picture + 1000), INT32_MAX));
}

void VideoEncoder::ApplyRateControl() {
    // The requested rate composed with the frame rate's scale; x264 gets it from the
    // next picture on (TrackFrameRate).
    rateTarget_ = RatesFor(settings_, rateScale_);
}

}  // namespace mirrax::media
