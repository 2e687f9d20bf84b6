// Background threads that give way to the window's thread.
#pragma once

namespace platform {

// Lowers the calling thread's scheduling priority (nice 10), so that work in the background
// never keeps the user-interface thread waiting for a processor. Only this thread is affected;
// a failure leaves it as it was (the work is then merely less polite). Any thread.
void SetBackgroundThreadPriority();

} // namespace platform
