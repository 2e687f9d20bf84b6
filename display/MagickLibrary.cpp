#include "MagickLibrary.h"

#include <magick/MagickCore.h>

#include <mutex>

namespace engine {
namespace {

std::mutex startGuard;
bool started = false;

// Added to the system's policy; the most restrictive rule wins.
const char* const kPolicy = R"(<policymap>
  <policy domain="delegate" rights="none" pattern="*" />
  <policy domain="coder" rights="none" pattern="{URL,HTTP,HTTPS,FTP,MSL,MVG,TEXT,TXT,SHOW,WIN,X,EPHEMERAL,INLINE,PLT,SCAN}" />
  <policy domain="path" rights="none" pattern="@*" />
  <policy domain="module" rights="none" pattern="{MSL,MVG,URL,TXT}" />
</policymap>)";

} // namespace

void InitializeMagick(const char* programPath) {
    std::lock_guard lock(startGuard);
    if (started) {
        return;
    }
    MagickCoreGenesis(programPath, MagickFalse);
    ExceptionInfo* exception = AcquireExceptionInfo();
    SetMagickSecurityPolicy(kPolicy, exception);
    DestroyExceptionInfo(exception);
    SetMagickResourceLimit(WidthResource, kMaximumSide);
    SetMagickResourceLimit(HeightResource, kMaximumSide);
    SetMagickResourceLimit(AreaResource, static_cast<MagickSizeType>(kMaximumPixels));
    SetMagickResourceLimit(DiskResource, 0);
    started = true;
}

void DestroyMagick() {
    std::lock_guard lock(startGuard);
    if (started) {
        MagickCoreTerminus();
        started = false;
    }
}

bool MagickStarted() {
    std::lock_guard lock(startGuard);
    return started;
}

} // namespace engine
