#include "MessageClient.h"

#include "MessageServer.h"
#include "common/ErrorReporting.h"
#include "platform/Pipes.h"
#include "platform/Timing.h"

#include <chrono>
#include <cstring>

namespace {

constexpr DWORD kReadyEventTimeoutMs = 10000;
constexpr DWORD kPipeWaitMs = 2000;
// The handshake retries opening the pipe every 10 ms; a server that never opens it must not
// hold the window's thread forever.
constexpr auto kPipeOpenPatience = std::chrono::milliseconds(10000);

class PipeCloser {
public:
    explicit PipeCloser(HANDLE pipe) : pipe_(pipe) {}
    ~PipeCloser() { CloseHandle(pipe_); }
    PipeCloser(const PipeCloser&) = delete;
    PipeCloser& operator=(const PipeCloser&) = delete;

private:
    HANDLE pipe_;
};

} // namespace

MessageClient::~MessageClient() {
    for (Message& message : messages) {
        FreeMessagePayload(message);
    }
    if (ready_event != nullptr) {
        CloseHandle(ready_event);
    }
}

bool MessageClient::Connect(const char* a_name, HWND a_hWnd, DWORD a_idThread,
                            const char* server_name) {
    if (a_name == nullptr || *a_name == '\0' || server_name == nullptr || *server_name == '\0' ||
        (a_hWnd == 0 && a_idThread == 0) || !name.empty()) {
        return false;
    }
    name = a_name;
    hWnd = a_hWnd;
    idThread = a_idThread;
    if (idThread != 0) {
        MSG ignored;
        PeekMessageA(&ignored, 0, 0, 0, PM_NOREMOVE);
    }
    return connect_to_server(server_name);
}

bool MessageClient::connect_to_server(const char* server_name) {
    try {
        const std::string pipe_name = std::string("\\\\.\\pipe\\") + server_name;
        const std::string event_name = std::string(server_name) + "_server_ready_event";

        if (ready_event != nullptr) {
            CloseHandle(ready_event);
        }
        ready_event = OpenEventA(SYNCHRONIZE, FALSE, event_name.c_str());
        for (;;) {
            const DWORD result = WaitForSingleObjectEx(ready_event, kReadyEventTimeoutMs, TRUE);
            if (result == WAIT_OBJECT_0) {
                break;
            }
            switch (result) {
            case WAIT_IO_COMPLETION:
                continue;
            case WAIT_ABANDONED:
                throw "ready_event abandoned";
            case WAIT_TIMEOUT:
                throw "timeout expired";
            case WAIT_FAILED:
                throw "WaitForSingleObjectEx returned WAIT_FAILED.";
            default:
                throw "WaitForSingleObjectEx returned an unknown return value.";
            }
        }

        const auto giveUp = std::chrono::steady_clock::now() + kPipeOpenPatience;
        HANDLE pipe = INVALID_HANDLE_VALUE;
        for (;;) {
            if (!WaitNamedPipeA(pipe_name.c_str(), kPipeWaitMs)) {
                const DWORD error = GetLastError();
                if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) {
                    throw "Problem in MessageClient::connect_to_server()\nCould not open pipe";
                }
            }
            pipe = CreateFileA(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
            if (pipe != INVALID_HANDLE_VALUE) {
                break;
            }
            if (std::chrono::steady_clock::now() > giveUp) {
                throw "timeout expired";
            }
            Sleep(10);
        }
        PipeCloser closer(pipe);

        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
            ReportError("Problem in MessageClient::connect_to_server()\nError with "
                        "SetNamedPipeHandleState");
        }

        Message request;
        request.kind = IV_CONNECT;
        request.sender_id = -1;
        request.data1 = hWnd;
        request.data2 = GetCurrentThreadId();
        request.payload = name.data();
        DWORD written = 0;
        if (!WriteFile(pipe, &request, sizeof request, &written, nullptr)) {
            ReportError("Problem in MessageClient::connect_to_server()\nError with WriteFile");
        }

        char buffer[512];
        DWORD read = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) || read == 0) {
            throw "problem ";
        }
        if (read != sizeof(Message)) {
            ReportError(
                "Problem in MessageClient::connect_to_server()\nReceived data of wrong size");
        }
        Message reply;
        std::memset(static_cast<void*>(&reply), 0, sizeof reply);
        std::memcpy(&reply, buffer, read < sizeof reply ? read : sizeof reply);
        // The address is followed later: it must be a server of this very process.
        const auto* address = reinterpret_cast<const void*>(reply.server_address);
        if (!reply.IsValid() || read != sizeof(Message) || !MessageServer::IsLiveServer(address)) {
            ReportError(
                "Problem in MessageClient::connect_to_server()\nReceived an invalid message");
            return false;
        }
        server = static_cast<MessageServer*>(const_cast<void*>(address));
        id = static_cast<std::int32_t>(reply.data2);
        return true;
    } catch (const char* text) {
        LogException("%s", text);
        return false;
    }
}

bool MessageClient::Send(const char* recipient, Message& message, bool notify) {
    message.sender_id = id;
    if (server == nullptr) {
        return false;
    }
    return server->Deliver(recipient, message, notify);
}

int MessageClient::HasNewMessages() {
    const int waiting = static_cast<int>(messages.size());
    return server == nullptr ? waiting : waiting + server->get_message_count(name.c_str());
}

bool MessageClient::get_all_new_messages() {
    if (server == nullptr || server->get_message_count(name.c_str()) == 0) {
        return false;
    }
    std::unique_ptr<std::list<Message>> taken = server->send_to_client(name.c_str());
    if (!taken) {
        ReportError("Error in MessageClient::get_all_new_messages\nserver->get_message_count() "
                    "returned non-zero but the new message list returned by "
                    "server->send_to_client() was empty.");
        return false;
    }
    messages.splice(messages.end(), *taken);
    return true;
}

bool MessageClient::PopMessage(Message& message) {
    if (server != nullptr && server->get_message_count(name.c_str()) != 0) {
        get_all_new_messages();
    }
    if (messages.empty()) {
        return false;
    }
    std::memcpy(&message, &messages.front(), sizeof message);
    messages.pop_front();
    return true;
}

bool MessageClient::UpdateWindowHandle(HWND a_hWnd) {
    if (a_hWnd == hWnd || server == nullptr) {
        return false;
    }
    const bool changed = server->UpdateWindowHandle(name.c_str(), a_hWnd);
    if (changed) {
        hWnd = a_hWnd;
    }
    return changed;
}

void DrainMessages(MessageClient& client, const std::function<void(const Message&)>& handle,
                   const char* popFailureText) {
    while (client.HasNewMessages() != 0) {
        Message message;
        if (!client.PopMessage(message)) {
            ReportError("%s", popFailureText);
            return;
        }
        handle(message);
        FreeMessagePayload(message);
        Sleep(0);
    }
}
