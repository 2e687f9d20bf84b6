// The process's mailbox service: one message queue per named client, a notification to the
// client's window (or thread) when something arrives, and a pipe handshake through which a
// client of this process learns the server's address and its client id.
#pragma once

#include "Message.h"
#include "platform/Kernel.h"

#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

// One client name's entry.
struct MessageClientInfo {
    std::int32_t id = -1;
    HWND hWnd = 0;
    DWORD idThread = 0;
    bool pending = false; // messages were queued before the client connected
    std::unique_ptr<std::list<Message>> queue = std::make_unique<std::list<Message>>();
};

class MessageServer {
public:
    MessageServer() = default;
    // Stops the listener and waits for the handshakes under way, then frees every entry with
    // its queue (and the payloads still queued).
    ~MessageServer();
    MessageServer(const MessageServer&) = delete;
    MessageServer& operator=(const MessageServer&) = delete;

    // Starts the server once under a_name: the lock "mail_mutex", the ready event
    // a_name + "_server_ready_event", the listener thread on the pipe "\\.\pipe\" + a_name.
    // The thread sets the event once the pipe exists, so a client that waited for it opens the
    // pipe at the first try. False when already started or on a failure (written to standard
    // output).
    bool Start(const char* a_name);

    // Registers name with its window and thread and returns its new id, or -1 when the name
    // is taken. A placeholder entry left by Deliver is taken over and, when messages wait,
    // its client is notified. Throws the lock's text when the lock fails.
    std::int32_t RegisterClient(const char* name, HWND hWnd, DWORD idThread);
    // Queues a copy of message for name. An unknown name gets a placeholder entry; its
    // notification follows when the client registers. False on failure (reported).
    bool Deliver(const char* name, const Message& message, bool notify);
    // Appends a copy of message to name's queue; false for an unknown name or a failure.
    bool AddMessage(const char* name, const Message& message);
    // Marks name's entry as having messages from before its connection. Throws on lock failure.
    void SetPending(const char* name);
    // Posts ITM_NOTIFY to name's window, or else to its thread. False for an unknown name.
    bool NotifyClient(const char* name);
    bool ClientExists(const char* name);
    int get_message_count(const char* name);
    // Hands name's whole queue to the caller and leaves an empty one; null for an unknown
    // name or a failure.
    std::unique_ptr<std::list<Message>> send_to_client(const char* name);
    // Gives name a new window; true (and a notification) when it differs from the old one.
    bool UpdateWindowHandle(const char* name, HWND hWnd);

    // The lock, waited for at most 5000 ms; both throw a text on failure (timeout, failed
    // wait, release by a thread that does not hold it). An abandoned lock (its owner process
    // died holding it) counts as taken: the queues live in this process, so nothing it guards
    // here can have been left half-done. The abandonment is reported once, with
    // ReportException, when this thread lets go of its last hold.
    void wait_for_mutex();
    void release_mutex();

    const char* Name() const { return server_name; }
    // True when address is a started server of this process that has not been destroyed.
    static bool IsLiveServer(const void* address);

private:
    static DWORD MessagingServer_Thread(void* parameter);
    static DWORD MessagingServer_ClientThread(void* parameter);
    void HandleConnection(HANDLE pipe);
    std::string PipeName() const;

    HANDLE lock = nullptr;
    HANDLE ready_event = nullptr;
    HANDLE listener_thread = nullptr;
    DWORD listener_thread_id = 0;
    std::map<std::string, MessageClientInfo> clients;
    volatile LONG client_id_counter = 0;
    char server_name[260] = {};

    // Guards the map and the queues inside this process for the calls that read without
    // "mail_mutex" (the named lock is shared by every process of the user and is taken as
    // well where the design takes it).
    std::mutex map_guard;
    // Shutting down: the listener and the handshakes under way.
    std::atomic<bool> stopping{false};
    std::mutex workers_guard;
    std::condition_variable workers_done;
    int active_workers = 0;
    std::set<HANDLE> worker_pipes;
};
