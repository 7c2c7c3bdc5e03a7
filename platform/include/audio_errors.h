// Status codes of the audio framework: 0 for success, negative for errors.
#ifndef OHOS_AUDIO_ERRORS_H
#define OHOS_AUDIO_ERRORS_H

#include <cstdint>

namespace OHOS::AudioStandard {

constexpr int32_t BASE_AUDIO_ERR_OFFSET = -62980096;
const int32_t SUCCESS = 0;
const int32_t ERROR = BASE_AUDIO_ERR_OFFSET;
const int32_t ERR_ILLEGAL_STATE = BASE_AUDIO_ERR_OFFSET - 1;
const int32_t ERR_INVALID_PARAM = BASE_AUDIO_ERR_OFFSET - 2;
const int32_t ERR_INVALID_READ = BASE_AUDIO_ERR_OFFSET - 15;

}  // namespace OHOS::AudioStandard

#endif  // OHOS_AUDIO_ERRORS_H
