#include "Application.h"

#include <QCoreApplication>
#include <atomic>

namespace platform {
namespace {
std::atomic<bool> terminated{false};
}

void TerminateApplication() {
    terminated = true;
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::quit();
    }
}

bool ApplicationTerminated() {
    return terminated;
}

int RunApplication() {
    if (terminated || QCoreApplication::instance() == nullptr) {
        return 0;
    }
    return QCoreApplication::exec();
}
} // namespace platform
