#include "MessageServer.h"

#include "common/ErrorReporting.h"
#include "platform/Pipes.h"
#include "platform/Timing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct ClientThreadParameters {
    HANDLE pipe;
    MessageServer* server;
    DWORD listener_thread_id;
};

std::mutex liveServersGuard;
std::set<const void*>& liveServers() {
    static std::set<const void*> servers;
    return servers;
}

constexpr DWORD kLockTimeoutMs = 5000;
constexpr DWORD kPipeBufferSize = 1024;

} // namespace

bool MessageServer::IsLiveServer(const void* address) {
    std::lock_guard guard(liveServersGuard);
    return liveServers().count(address) != 0;
}

std::string MessageServer::PipeName() const {
    return std::string("\\\\.\\pipe\\") + server_name;
}

bool MessageServer::Start(const char* a_name) {
    try {
        if (a_name == nullptr || *a_name == '\0') {
            ReportError("Error in MessageServer::MessageServer\na_name is an empty string!");
        }
        if (server_name[0] != '\0') {
            return false;
        }
        std::snprintf(server_name, sizeof server_name, "%s", a_name != nullptr ? a_name : "");
        lock = CreateMutexA(nullptr, FALSE, "mail_mutex");
        if (lock == nullptr) {
            throw "Problem in MessageServer::Start()\nCreateMutex failed";
        }
        const std::string event_name = std::string(server_name) + "_server_ready_event";
        ready_event = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
        if (ready_event == nullptr) {
            throw "GetLastError() failed.";
        }
        {
            std::lock_guard guard(liveServersGuard);
            liveServers().insert(this);
        }
        listener_thread =
            CreateThread(nullptr, 0, MessagingServer_Thread, this, 0, &listener_thread_id);
        if (listener_thread == nullptr) {
            ReportError("Problem in MessagingServer_Thread() with CreateThread()");
            std::_Exit(0);
        }
        return true;
    } catch (const char* text) {
        LogException("%s", text);
        return false;
    }
}

MessageServer::~MessageServer() {
    {
        std::lock_guard guard(liveServersGuard);
        liveServers().erase(this);
    }
    if (listener_thread != nullptr) {
        stopping = true;
        const std::string pipe_name = PipeName();
        // The listener may be between two pipe instances and bind the name again: close it
        // until the thread has seen the stop.
        do {
            CloseNamedPipeServer(pipe_name.c_str());
        } while (WaitForSingleObject(listener_thread, 50) == WAIT_TIMEOUT);
        CloseHandle(listener_thread);
        std::unique_lock guard(workers_guard);
        for (HANDLE pipe : worker_pipes) {
            DisconnectNamedPipe(pipe);
        }
        workers_done.wait(guard, [this] { return active_workers == 0; });
    }
    if (ready_event != nullptr) {
        CloseHandle(ready_event);
    }
    if (lock != nullptr) {
        CloseHandle(lock);
    }
    for (auto& [name, info] : clients) {
        for (Message& message : *info.queue) {
            FreeMessagePayload(message);
        }
    }
}

DWORD MessageServer::MessagingServer_Thread(void* parameter) {
    auto* server = static_cast<MessageServer*>(parameter);
    const std::string pipe_name = server->PipeName();
    bool ready = false;
    while (!server->stopping) {
        HANDLE pipe = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize,
                                       1000, nullptr);
        if (pipe == nullptr) {
            if (server->stopping) {
                break;
            }
            ReportError("Problem in MessagingServer_Thread() with CreateNamedPipe()");
            std::_Exit(0);
        }
        // Ready once the pipe can be opened: a client that found the event set before it
        // existed failed its first open and slept, which every start paid.
        if (!ready) {
            SetEvent(server->ready_event);
            ready = true;
        }
        const BOOL connected =
            ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        if (server->stopping) {
            CloseHandle(pipe);
            break;
        }
        if (!connected) {
            CloseHandle(pipe);
            Sleep(10);
            continue;
        }
        {
            std::lock_guard guard(server->workers_guard);
            ++server->active_workers;
            server->worker_pipes.insert(pipe);
        }
        auto* block = new ClientThreadParameters{pipe, server, server->listener_thread_id};
        HANDLE worker = CreateThread(nullptr, 0, MessagingServer_ClientThread, block, 0, nullptr);
        if (worker == nullptr) {
            ReportError("Problem in MessagingServer_Thread() with CreateThread()");
            std::_Exit(0);
        }
        CloseHandle(worker);
        Sleep(0);
    }
    return 0;
}

DWORD MessageServer::MessagingServer_ClientThread(void* parameter) {
    std::unique_ptr<ClientThreadParameters> block(static_cast<ClientThreadParameters*>(parameter));
    MessageServer* server = block->server;
    server->HandleConnection(block->pipe);
    FlushFileBuffers(block->pipe);
    DisconnectNamedPipe(block->pipe);
    {
        std::lock_guard guard(server->workers_guard);
        server->worker_pipes.erase(block->pipe);
    }
    CloseHandle(block->pipe);
    {
        std::lock_guard guard(server->workers_guard);
        --server->active_workers;
    }
    server->workers_done.notify_all();
    return 0;
}

void MessageServer::HandleConnection(HANDLE pipe) {
    Message reply;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);

    // The request carries addresses that mean something only inside this process: a peer
    // that is not this process is turned away before anything it sent is looked at.
    DWORD peer = 0;
    if (!GetNamedPipeClientProcessId(pipe, &peer) || peer != GetCurrentProcessId()) {
        LastErrorCode = GetLastError();
        LogException("MessageServer refused a connection from process %u", peer);
        return;
    }

    char buffer[kPipeBufferSize];
    DWORD read = 0;
    if (!ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) || read == 0) {
        ReportError("problem");
        return;
    }
    if (read != sizeof(Message)) {
        ReportError("Problem in MessageClient::connect_to_server()\nReceived data of wrong size");
        return;
    }
    Message request;
    std::memcpy(&request, buffer, sizeof request);
    if (!request.IsValid()) {
        ReportError("Received invalid message");
        return;
    }
    if (request.kind != IV_CONNECT) {
        return;
    }
    try {
        const auto address = reinterpret_cast<std::uintptr_t>(this);
        reply.server_address = address;
        reply.data1 = static_cast<std::uint32_t>(address);
        reply.data2 = static_cast<std::uint32_t>(
            RegisterClient(request.payload, static_cast<HWND>(request.data1), request.data2));
    } catch (const char* text) {
        // No reply: the client's handshake fails instead of using an unregistered id.
        LastErrorCode = GetLastError();
        ReportException("Problem in MessageServer::RegisterClient\n%s", text);
        return;
    }
    DWORD written = 0;
    if (!WriteFile(pipe, &reply, sizeof reply, &written, nullptr) || written != sizeof reply) {
        ReportError("problem");
    }
}

namespace {

// Holds of "mail_mutex" by this thread (the mutex is recursive and one per user, whatever the
// server), and whether one of them came from an owner that died holding it.
thread_local int lockDepth = 0;
thread_local bool abandonedUnreported = false;
thread_local DWORD abandonedErrorCode = 0;

// Called after each release by this thread: the last one reports an abandonment.
void noteRelease() {
    if (lockDepth > 0 && --lockDepth == 0 && abandonedUnreported) {
        abandonedUnreported = false;
        LastErrorCode = abandonedErrorCode;
        ReportException("Problem in MessageServer::wait_for_mutex\nWaitForSingleObject returned "
                        "WAIT_ABANDONED");
    }
}

} // namespace

void MessageServer::wait_for_mutex() {
    switch (WaitForSingleObject(lock, kLockTimeoutMs)) {
    case WAIT_OBJECT_0:
        ++lockDepth;
        return;
    case WAIT_ABANDONED:
        // The lock is ours and consistent again, and the queues it guards live in this process,
        // so the work goes on; the report waits for the release, so that a box never keeps
        // every other process of the user out of the lock.
        ++lockDepth;
        abandonedUnreported = true;
        abandonedErrorCode = GetLastError();
        return;
    case WAIT_TIMEOUT:
        throw "WaitForSingleObject returned WAIT_TIMEOUT";
    default:
        throw "WaitForSingleObject returned WAIT_FAILED";
    }
}

void MessageServer::release_mutex() {
    if (!ReleaseMutex(lock)) {
        throw "Problem in MessageServer::release_mutex\nReleaseMutex returned false";
    }
    noteRelease();
}

std::int32_t MessageServer::RegisterClient(const char* name, HWND hWnd, DWORD idThread) {
    if (name == nullptr) {
        return -1;
    }
    wait_for_mutex();
    std::int32_t result = -1;
    bool notify = false;
    {
        std::lock_guard guard(map_guard);
        auto found = clients.find(name);
        if (found == clients.end()) {
            result = InterlockedIncrement(&client_id_counter);
            MessageClientInfo info;
            info.id = result;
            info.hWnd = hWnd;
            info.idThread = idThread;
            clients.emplace(name, std::move(info));
        } else if (found->second.hWnd == 0 && found->second.idThread == 0) {
            result = InterlockedIncrement(&client_id_counter);
            found->second.id = result;
            found->second.hWnd = hWnd;
            found->second.idThread = idThread;
            notify = found->second.pending;
            found->second.pending = false;
        }
    }
    if (notify) {
        NotifyClient(name);
    }
    release_mutex();
    return result;
}

bool MessageServer::Deliver(const char* name, const Message& message, bool notify) {
    try {
        if (ClientExists(name)) {
            if (!AddMessage(name, message)) {
                return false;
            }
            if (notify) {
                NotifyClient(name);
            }
            return true;
        }
        // Placeholder, message and pending mark in one hold of the lock, so that a client
        // registering meanwhile either finds the mark or is notified here.
        wait_for_mutex();
        bool added = false;
        try {
            const bool placeholder = RegisterClient(name, 0, 0) != -1;
            added = AddMessage(name, message);
            if (added && placeholder) {
                SetPending(name);
            } else if (added && notify) {
                NotifyClient(name);
            }
        } catch (...) {
            release_mutex();
            throw;
        }
        release_mutex();
        return added;
    } catch (const char* text) {
        LastErrorCode = GetLastError();
        ReportException("Problem in MessageServer::Deliver\n%s", text);
        return false;
    }
}

bool MessageServer::AddMessage(const char* name, const Message& message) {
    try {
        wait_for_mutex();
        bool found = false;
        {
            std::lock_guard guard(map_guard);
            auto entry = clients.find(name);
            if (entry != clients.end()) {
                entry->second.queue->push_back(message);
                found = true;
            }
        }
        release_mutex();
        return found;
    } catch (const char* text) {
        LastErrorCode = GetLastError();
        ReportException("Problem in MessageServer::AddMessage\n%s", text);
        return false;
    }
}

void MessageServer::SetPending(const char* name) {
    wait_for_mutex();
    {
        std::lock_guard guard(map_guard);
        auto entry = clients.find(name);
        if (entry != clients.end()) {
            entry->second.pending = true;
        }
    }
    release_mutex();
}

bool MessageServer::NotifyClient(const char* name) {
    HWND hWnd = 0;
    DWORD idThread = 0;
    {
        std::lock_guard guard(map_guard);
        auto entry = clients.find(name);
        if (entry == clients.end()) {
            return false;
        }
        hWnd = entry->second.hWnd;
        idThread = entry->second.idThread;
    }
    if (hWnd != 0) {
        PostMessageA(hWnd, ITM_NOTIFY, 0, 0);
    } else if (idThread != 0) {
        PostThreadMessageA(idThread, ITM_NOTIFY, 0, 0);
    } else {
        ReportError("Error in MessageServer::NotifyClient\nBoth hWnd and idThread are NULL which "
                    "isn't allowable.");
    }
    return true;
}

bool MessageServer::ClientExists(const char* name) {
    std::lock_guard guard(map_guard);
    return clients.count(name) != 0;
}

int MessageServer::get_message_count(const char* name) {
    std::lock_guard guard(map_guard);
    auto entry = clients.find(name);
    return entry == clients.end() ? 0 : static_cast<int>(entry->second.queue->size());
}

std::unique_ptr<std::list<Message>> MessageServer::send_to_client(const char* name) {
    if (!ClientExists(name)) {
        return nullptr;
    }
    try {
        wait_for_mutex();
        std::unique_ptr<std::list<Message>> taken;
        {
            std::lock_guard guard(map_guard);
            MessageClientInfo& entry = clients.at(name);
            taken = std::move(entry.queue);
            entry.queue = std::make_unique<std::list<Message>>();
        }
        release_mutex();
        return taken;
    } catch (const char* text) {
        LastErrorCode = GetLastError();
        ReportException("Problem in MessageServer::send_to_client\n%s", text);
        return nullptr;
    }
}

bool MessageServer::UpdateWindowHandle(const char* name, HWND hWnd) {
    bool held = false;
    try {
        wait_for_mutex();
        held = true;
        bool changed = false;
        {
            std::lock_guard guard(map_guard);
            auto entry = clients.find(name);
            if (entry == clients.end()) {
                throw "Client doesn't exist";
            }
            if (entry->second.hWnd != hWnd) {
                entry->second.hWnd = hWnd;
                changed = true;
            }
        }
        if (changed) {
            NotifyClient(name);
        }
        held = false;
        release_mutex();
        return changed;
    } catch (const char* text) {
        LastErrorCode = GetLastError();
        ReportException("problem in MessageServer::UpdateWindowHandle\n%s", text);
        if (held && ReleaseMutex(lock)) {
            noteRelease();
        }
        return false;
    }
}
