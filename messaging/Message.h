// The message record that the windows of the program send each other, and its kinds.
#pragma once

#include "platform/WinTypes.h"
#include "platform/Windows.h"

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t kMessageMagic1 = 0x69C45287;
constexpr std::uint32_t kMessageMagic2 = 0xBC08681A;

// Message kinds. IV_DISPLAY_IMAGE is also the window message that wakes the solitary viewer.
constexpr std::int32_t IV_CONNECT = 1;
constexpr std::int32_t IV_PING = 3;
constexpr std::int32_t IV_PING_REPLY = 4;
constexpr std::int32_t IV_NEXT_IMAGE = 0x8001;
constexpr std::int32_t IV_PREVIOUS_IMAGE = 0x8002;
constexpr std::int32_t IV_SHOW_BROWSER = 0x8003;
constexpr std::int32_t IV_DELETE_FILE = 0x8004;
constexpr std::int32_t IV_PREVIOUS_IMAGE_AND_DELETE = 0x8006;
constexpr std::int32_t IV_NEXT_IMAGE_AND_DELETE = 0x8007;
constexpr std::int32_t IV_FIRST_IMAGE = 0x800A;
constexpr std::int32_t IV_LAST_IMAGE = 0x800B;
constexpr std::int32_t IV_DISPLAY_IMAGE = 0x800C;
constexpr std::int32_t IV_QUIT = 0x800D;
// Reading ahead. The viewer asks which file a step from the given one (data1 'D' down, 'U' up)
// would show, and the browser answers with that file (none when there is no such step),
// showing nothing.
constexpr std::int32_t IV_WHICH_IS_NEXT = 0x8010;
constexpr std::int32_t IV_NEXT_IS = 0x8011;

// The window (or thread) message telling a client that messages wait for it.
constexpr UINT ITM_NOTIFY = WM_APP + 1;

// A 72-byte record, little-endian, the element of every queue and what the pipe handshake
// sends. The 32-bit layout kept two 4-byte address fields; in this 64-bit build the fields
// that carry an address hold a whole pointer:
//
//   offset  size  field
//    0       4    magic1          0x69C45287
//    4       4    magic2          0xBC08681A
//    8       4    sender_id       sender's client id; -1 in a connect request, 0 in its reply
//   12       4    kind            IV_* above
//   16      16    reserved        zero
//   32       4    data1           connect request: the client's window; reply: low 32 bits of
//                                 the server's address
//   36       4    data2           connect request: the client's thread id; reply: client id
//   40       8    server_address  reply: the server object's whole address (was reserved)
//   48      16    reserved        zero
//   64       8    payload         a heap text owned by the message (see MessagePayloadCopy),
//                                 or null; connect request: the client's name. These 8 bytes
//                                 join the reserved word at 64 and the payload word at 68.
//
// Copies are byte for byte and do not duplicate the payload: the receiver frees it.
struct Message {
    std::uint32_t magic1 = kMessageMagic1;
    std::uint32_t magic2 = kMessageMagic2;
    std::int32_t sender_id = 0;
    std::int32_t kind = 0;
    std::uint8_t reserved1[16] = {};
    std::uint32_t data1 = 0;
    std::uint32_t data2 = 0;
    std::uint64_t server_address = 0;
    std::uint8_t reserved2[16] = {};
    char* payload = nullptr;

    // Valid when both magic values hold; nothing else is tested.
    bool IsValid() const { return magic1 == kMessageMagic1 && magic2 == kMessageMagic2; }
};

static_assert(sizeof(Message) == 72);
static_assert(offsetof(Message, magic1) == 0);
static_assert(offsetof(Message, magic2) == 4);
static_assert(offsetof(Message, sender_id) == 8);
static_assert(offsetof(Message, kind) == 12);
static_assert(offsetof(Message, data1) == 32);
static_assert(offsetof(Message, data2) == 36);
static_assert(offsetof(Message, server_address) == 40);
static_assert(offsetof(Message, payload) == 64);
static_assert(sizeof(void*) == 8, "the layout above is the 64-bit one");

// A heap copy of text for a message's payload (null for null). Free it with FreeMessagePayload.
char* MessagePayloadCopy(const char* text);
// Frees the payload of message and sets it to null.
void FreeMessagePayload(Message& message);
