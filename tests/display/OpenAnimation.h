// Opening an animation in the display tests.
#pragma once

#include "display/AnimationDecoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// The decoder of the animation at path; the test fails with the decoder's message when there is
// none.
inline std::unique_ptr<engine::AnimationDecoder> openAnimation(const std::string& path) {
    engine::DecodeResult failure;
    auto decoder = engine::AnimationDecoder::Open(path, nullptr, failure);
    EXPECT_TRUE(decoder) << failure.message;
    return decoder;
}
