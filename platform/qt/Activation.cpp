#include "Activation.h"

#include "../DebugOutput.h"

#include <QApplication>
#include <QWidget>
#include <QWindow>

namespace platform {

namespace {

std::string offeredToken;

} // namespace

SessionKind ApplicationSession() {
    if (qGuiApp == nullptr) {
        return SessionOfEnvironment();
    }
    return SessionOfPlatformName(QGuiApplication::platformName().toStdString());
}

namespace {

Activation activate(QWidget* window, const std::string& token) {
    if (!AbilitiesOf(ApplicationSession()).raiseNeedsToken) {
        window->raise();
        window->activateWindow();
        return Activation::Raised;
    }
    QWindow* handle = window->windowHandle();
    if (handle == nullptr) {
        return Activation::AskedForAttention; // not shown: nothing to activate yet
    }
    if (!token.empty()) {
        // Qt's Wayland shell integration (6.4) takes the token of a request from this variable
        // when it has none of its own; the variable goes at once, so the token is used once.
        qputenv(kActivationTokenVariable, QByteArray::fromStdString(token));
        handle->requestActivate();
        qunsetenv(kActivationTokenVariable);
        return Activation::ActivatedWithToken;
    }
    if (QGuiApplication::focusWindow() != nullptr) {
        // The program has the focus: the toolkit gets a token for the request itself.
        handle->requestActivate();
        return Activation::Raised;
    }
    QApplication::alert(window);
    return Activation::AskedForAttention;
}

} // namespace

Activation ActivateWindow(QWidget* window, const std::string& token) {
    const Activation outcome = activate(window, token);
    const char* done = outcome == Activation::ActivatedWithToken  ? "activated with a token"
                       : outcome == Activation::AskedForAttention ? "asks for attention"
                                                                  : "raised";
    OutputDebugStringA(("window \"" + window->windowTitle().toStdString() + "\" " + done).c_str());
    return outcome;
}

void OfferActivationToken(const std::string& token) {
    offeredToken = token;
}

std::string TakeOfferedActivationToken() {
    std::string token;
    token.swap(offeredToken);
    return token;
}

} // namespace platform
