// Preloaded into a program under test: the first allocation after a system error text has been
// looked up fails, as when memory runs out at that moment. Lets a test reach the report that is
// left when not even the error's text can be had.
#include <atomic>
#include <cstddef>
#include <dlfcn.h>

extern "C" void* __libc_malloc(std::size_t size);

namespace {
std::atomic<bool> failNext{false};
}

extern "C" void* malloc(std::size_t size) {
    if (failNext.exchange(false)) {
        return nullptr;
    }
    return __libc_malloc(size);
}

extern "C" char* strerror_r(int code, char* buffer, std::size_t size) {
    using Real = char* (*)(int, char*, std::size_t);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "strerror_r"));
    char* text = real(code, buffer, size);
    failNext = true;
    return text;
}
