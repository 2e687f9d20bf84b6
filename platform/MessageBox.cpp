#include "MessageBox.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex presenterGuard;
platform::MessageBoxPresenter& presenter() {
    static platform::MessageBoxPresenter installed;
    return installed;
}

int presentOnStandardError(HWND, const char* text, const char* caption, UINT) {
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    std::fflush(stderr);
    return IDOK;
}

} // namespace

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT style) {
    platform::MessageBoxPresenter current;
    {
        std::lock_guard lock(presenterGuard);
        current = presenter();
    }
    if (!current) {
        return presentOnStandardError(owner, text, caption, style);
    }
    return current(owner, text, caption, style);
}

namespace platform {

MessageBoxPresenter SetMessageBoxPresenter(MessageBoxPresenter replacement) {
    std::lock_guard lock(presenterGuard);
    MessageBoxPresenter previous = std::move(presenter());
    presenter() = std::move(replacement);
    return previous;
}

} // namespace platform
