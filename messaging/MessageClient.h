// One window's mailbox at the process's MessageServer.
#pragma once

#include "Message.h"
#include "platform/Kernel.h"

#include <functional>
#include <list>
#include <string>

class MessageServer;

class MessageClient {
public:
    MessageClient() = default;
    // Frees the messages still in the list, with their payloads.
    ~MessageClient();
    MessageClient(const MessageClient&) = delete;
    MessageClient& operator=(const MessageClient&) = delete;

    // Registers name with the server server_name through the pipe handshake. False when name
    // or server_name is empty, when both hWnd and idThread are 0, when this client already has
    // a name, or when the handshake fails. Blocks the calling thread for the handshake (at most
    // 10 s for the server's ready event and 10 s for its pipe).
    bool Connect(const char* name, HWND hWnd, DWORD idThread, const char* server_name);
    bool connect_to_server(const char* server_name);

    // Sends message to the client recipient; the message's payload now belongs to the queue.
    // False without a server or when the server refuses.
    bool Send(const char* recipient, Message& message, bool notify);
    // Messages waiting: those still at the server plus those taken into this client's list.
    int HasNewMessages();
    // Moves every message queued at the server into this client's list.
    bool get_all_new_messages();
    // Moves the oldest waiting message into message (whose payload the caller then owns).
    // False, leaving message as it was, when none waits.
    bool PopMessage(Message& message);
    // Tells the server the window to notify from now on. False when hWnd is the current one.
    bool UpdateWindowHandle(HWND hWnd);

    std::int32_t Id() const { return id; }
    const std::string& Name() const { return name; }

private:
    MessageServer* server = nullptr;
    HANDLE ready_event = nullptr;
    std::list<Message> messages;
    HWND hWnd = 0;
    DWORD idThread = 0;
    std::string name;
    std::int32_t id = 0;
};

// What the windows do on ITM_NOTIFY: while client has messages, take the oldest, hand it to
// handle, free its payload and yield. A failed take is reported with popFailureText and ends
// the drain (the record then holds no message that could be acted on).
void DrainMessages(MessageClient& client, const std::function<void(const Message&)>& handle,
                   const char* popFailureText);
