// Starting and stopping the image library (ImageMagick 6) with the program's own policy.
#pragma once

#include <string>

namespace engine {

// Starts the library once per process (later calls do nothing) and adds the program's strict
// policy to whatever the system's is: no delegate programs, none of the coders that fetch
// addresses or read other files (URL, HTTP, HTTPS, FTP, MSL, MVG, TEXT, TXT, ...), no "@file"
// indirection. The resource limits are the program's own, whatever the system's policy file
// says (it is read after ours): sides and area as below, no disk cache, and the library's
// temporary files in a folder of this process under the per-user runtime folder, removed when
// the library stops; folders left by processes that died are removed here. programPath may be
// null. Thread-safe.
void InitializeMagick(const char* programPath);
// The folder of this process that the library keeps its temporary files in (empty before
// InitializeMagick, or when the runtime folder could not be made).
std::string MagickTemporaryFolder();
// Stops the library if it was started; harmless otherwise.
void DestroyMagick();
// True between the two.
bool MagickStarted();

// The most pixels, and the longest side, that an image may have.
constexpr long long kMaximumPixels = 1LL << 30;
constexpr long kMaximumSide = 65535;
// Formats whose rows cannot be streamed are read whole by the library first, 8 bytes a pixel:
// they may have at most this many pixels.
constexpr long long kMaximumPixelsReadWhole = 128LL << 20;

} // namespace engine
