#include "Message.h"

#include <cstdlib>
#include <cstring>

char* MessagePayloadCopy(const char* text) {
    return text != nullptr ? ::strdup(text) : nullptr;
}

void FreeMessagePayload(Message& message) {
    std::free(message.payload);
    message.payload = nullptr;
}
