// The message server and its clients: handshake, queues, notifications, the shared lock.
#include "support/TestSupport.h"

#include "messaging/MessageClient.h"
#include "messaging/MessageServer.h"
#include "platform/Platform.h"

#include <csignal>
#include <cstring>
#include <mutex>
#include <vector>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

namespace {

std::string helper() {
    return testsupport::ProgramFolder() + "/orvalen-test-helper";
}

// ITM_NOTIFY messages that reached the calling thread's queue since the last call.
int takeNotifications(DWORD waitMs = 50) {
    int count = 0;
    MSG message;
    while (WaitThreadMessage(&message, waitMs)) {
        if (message.message == ITM_NOTIFY) {
            ++count;
        }
    }
    return count;
}

Message textMessage(std::int32_t kind, const char* text) {
    Message message;
    message.kind = kind;
    message.payload = MessagePayloadCopy(text);
    return message;
}

class MessagingTest : public IsolatedTest {
protected:
    void SetUp() override {
        takeNotifications(0);
        ASSERT_TRUE(server.Start("test_itm_server"));
    }
    void TearDown() override { takeNotifications(0); }

    bool ConnectOnThisThread(MessageClient& client, const char* name) {
        return client.Connect(name, 0, GetCurrentThreadId(), "test_itm_server");
    }

    MessageServer server;
};

} // namespace

TEST_F(MessagingTest, TheHandshakeRegistersTheClientAndGivesIdsInOrder) {
    MessageClient viewer, browser;
    ASSERT_TRUE(ConnectOnThisThread(viewer, "Viewer"));
    ASSERT_TRUE(ConnectOnThisThread(browser, "Browser"));
    EXPECT_EQ(viewer.Id(), 1);
    EXPECT_EQ(browser.Id(), 2);
    EXPECT_TRUE(server.ClientExists("Viewer"));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(MessagingTest, AMessageSentBeforeItsClientRegistersArrivesWithOneNotification) {
    MessageClient sender;
    ASSERT_TRUE(ConnectOnThisThread(sender, "MainForm"));
    Message message = textMessage(IV_DISPLAY_IMAGE, "/home/u/Pictures/a photo é.jpg");
    ASSERT_TRUE(sender.Send("Viewer", message, true));
    EXPECT_TRUE(server.ClientExists("Viewer")); // a placeholder holds the message
    EXPECT_EQ(server.get_message_count("Viewer"), 1);
    EXPECT_EQ(takeNotifications(), 0);

    MessageClient viewer;
    ASSERT_TRUE(ConnectOnThisThread(viewer, "Viewer"));
    EXPECT_EQ(viewer.Id(), 3); // the placeholder took id 2; registering gives a fresh one
    EXPECT_EQ(takeNotifications(), 1);
    Message received;
    ASSERT_TRUE(viewer.PopMessage(received));
    EXPECT_EQ(received.kind, IV_DISPLAY_IMAGE);
    EXPECT_EQ(received.sender_id, sender.Id());
    EXPECT_STREQ(received.payload, "/home/u/Pictures/a photo é.jpg");
    FreeMessagePayload(received);
    EXPECT_EQ(viewer.HasNewMessages(), 0);
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(MessagingTest, ASecondNotifyingDeliveryToAPlaceholderIsReportedAndStillQueued) {
    Message first = textMessage(IV_NEXT_IMAGE, "a");
    Message second = textMessage(IV_NEXT_IMAGE, "b");
    EXPECT_TRUE(server.Deliver("Browser", first, true));
    EXPECT_EQ(boxes.Count(), 0u);
    EXPECT_TRUE(server.Deliver("Browser", second, true));
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.rfind("Error in MessageServer::NotifyClient\nBoth hWnd and idThread "
                                  "are NULL which isn't allowable.",
                                  0),
              0u);
    EXPECT_EQ(server.get_message_count("Browser"), 2);
    MessageClient browser;
    ASSERT_TRUE(ConnectOnThisThread(browser, "Browser"));
    EXPECT_EQ(browser.HasNewMessages(), 2);
}

TEST_F(MessagingTest, ASecondClientUnderATakenNameGetsMinusOneAndSharesTheQueue) {
    MessageClient first, second, sender;
    ASSERT_TRUE(ConnectOnThisThread(first, "Viewer"));
    ASSERT_TRUE(ConnectOnThisThread(second, "Viewer"));
    ASSERT_TRUE(ConnectOnThisThread(sender, "MainForm"));
    EXPECT_EQ(second.Id(), -1);
    Message message = textMessage(IV_DISPLAY_IMAGE, "x.png");
    ASSERT_TRUE(sender.Send("Viewer", message, true));
    EXPECT_EQ(first.HasNewMessages(), 1);
    EXPECT_EQ(second.HasNewMessages(), 1);
    Message taken;
    ASSERT_TRUE(second.PopMessage(taken));
    FreeMessagePayload(taken);
    EXPECT_EQ(first.HasNewMessages(), 0);
}

TEST_F(MessagingTest, OnePopFetchesThreeAndOneDrainHandlesAllInOrder) {
    MessageClient browser, viewer;
    ASSERT_TRUE(ConnectOnThisThread(browser, "Browser"));
    ASSERT_TRUE(ConnectOnThisThread(viewer, "Viewer"));
    const char* files[] = {"one.jpg", "two.jpg", "three.jpg"};
    for (const char* file : files) {
        Message message = textMessage(IV_DISPLAY_IMAGE, file);
        ASSERT_TRUE(browser.Send("Viewer", message, true));
    }
    EXPECT_EQ(takeNotifications(), 3);
    EXPECT_EQ(viewer.HasNewMessages(), 3);

    Message first;
    ASSERT_TRUE(viewer.PopMessage(first));
    EXPECT_STREQ(first.payload, "one.jpg");
    FreeMessagePayload(first);
    EXPECT_EQ(server.get_message_count("Viewer"), 0);
    EXPECT_EQ(viewer.HasNewMessages(), 2);

    for (int i = 0; i < 3; ++i) {
        Message message = textMessage(IV_NEXT_IMAGE, files[i]);
        ASSERT_TRUE(browser.Send("Viewer", message, true));
    }
    std::vector<std::string> handled;
    DrainMessages(
        viewer,
        [&](const Message& message) {
            handled.push_back(std::to_string(message.kind) + ":" + message.payload);
        },
        "InterThreadMessengerDispatcher()");
    const std::string display = std::to_string(IV_DISPLAY_IMAGE) + ":";
    const std::string next = std::to_string(IV_NEXT_IMAGE) + ":";
    EXPECT_EQ(handled,
              (std::vector<std::string>{display + "two.jpg", display + "three.jpg",
                                        next + "one.jpg", next + "two.jpg", next + "three.jpg"}));
    EXPECT_EQ(viewer.HasNewMessages(), 0);
}

TEST_F(MessagingTest, QueueEdgesPopWithNothingAndTakingAnEmptyQueue) {
    MessageClient viewer;
    ASSERT_TRUE(ConnectOnThisThread(viewer, "Viewer"));
    Message untouched;
    untouched.kind = 12345;
    EXPECT_FALSE(viewer.PopMessage(untouched));
    EXPECT_EQ(untouched.kind, 12345);
    auto taken = server.send_to_client("Viewer");
    ASSERT_NE(taken, nullptr);
    EXPECT_TRUE(taken->empty());
    EXPECT_EQ(server.send_to_client("Nobody"), nullptr);
    EXPECT_EQ(server.get_message_count("Nobody"), 0);
}

TEST_F(MessagingTest, NotificationsGoToTheWindowAndFollowANewWindowHandle) {
    class Sink final : public platform::WindowMessageSink {
    public:
        void Deliver(UINT message, WPARAM, LPARAM) override {
            std::lock_guard lock(guard);
            messages.push_back(message);
        }
        std::mutex guard;
        std::vector<UINT> messages;
    } oldWindow, newWindow;
    const HWND oldHandle = platform::RegisterWindow(&oldWindow);
    const HWND newHandle = platform::RegisterWindow(&newWindow);
    MessageClient viewer, sender;
    ASSERT_TRUE(viewer.Connect("Viewer", oldHandle, GetCurrentThreadId(), "test_itm_server"));
    ASSERT_TRUE(ConnectOnThisThread(sender, "MainForm"));
    Message message = textMessage(IV_DISPLAY_IMAGE, "a.jpg");
    sender.Send("Viewer", message, true);
    EXPECT_EQ(oldWindow.messages, (std::vector<UINT>{ITM_NOTIFY}));
    EXPECT_EQ(takeNotifications(), 0); // the window is preferred to the thread

    EXPECT_FALSE(viewer.UpdateWindowHandle(oldHandle));
    EXPECT_TRUE(viewer.UpdateWindowHandle(newHandle));
    EXPECT_EQ(newWindow.messages, (std::vector<UINT>{ITM_NOTIFY}));
    Message another = textMessage(IV_DISPLAY_IMAGE, "b.jpg");
    sender.Send("Viewer", another, true);
    EXPECT_EQ(oldWindow.messages.size(), 1u);
    EXPECT_EQ(newWindow.messages.size(), 2u);
    EXPECT_EQ(boxes.Count(), 0u);
    platform::UnregisterWindow(oldHandle);
    platform::UnregisterWindow(newHandle);
}

TEST_F(MessagingTest, StartOnlyOnceAndConnectRefusesBadArguments) {
    EXPECT_FALSE(server.Start("another_name"));
    EXPECT_STREQ(server.Name(), "test_itm_server");
    MessageClient client;
    EXPECT_FALSE(client.Connect("", 0, 1, "test_itm_server"));
    EXPECT_FALSE(client.Connect("Viewer", 0, 1, ""));
    EXPECT_FALSE(client.Connect("Viewer", 0, 0, "test_itm_server"));
    ASSERT_TRUE(ConnectOnThisThread(client, "Viewer"));
    EXPECT_FALSE(ConnectOnThisThread(client, "Other"));
}

TEST_F(MessagingTest, TheReadyEventIsSetOnlyOnceThePipeCanBeOpened) {
    // A client waits for the event and then opens the pipe: the event must not come first,
    // or the client fails its open and sleeps.
    for (int round = 0; round < 40; ++round) {
        const std::string name = "ready_test_" + std::to_string(round);
        MessageServer server;
        ASSERT_TRUE(server.Start(name.c_str()));
        HANDLE ready = OpenEventA(SYNCHRONIZE, FALSE, (name + "_server_ready_event").c_str());
        ASSERT_NE(ready, nullptr);
        ASSERT_EQ(WaitForSingleObject(ready, 5000), WAIT_OBJECT_0);
        CloseHandle(ready);
        HANDLE pipe = CreateFileA(("\\\\.\\pipe\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << "round " << round;
        CloseHandle(pipe);
    }
}

TEST_F(MessagingTest, AClientWithoutAServerAnswersNothing) {
    MessageClient lost;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(lost.Connect("Viewer", 0, GetCurrentThreadId(), "no_such_server"));
    EXPECT_NE(
        testing::internal::GetCapturedStdout().find("WaitForSingleObjectEx returned WAIT_FAILED."),
        std::string::npos);
    Message message;
    EXPECT_FALSE(lost.Send("Browser", message, true));
    EXPECT_EQ(lost.HasNewMessages(), 0);
    EXPECT_FALSE(lost.PopMessage(message));
}

TEST_F(MessagingTest, ARequestWithWrongMagicGetsNoReply) {
    const char* name = "\\\\.\\pipe\\test_itm_server";
    HANDLE pipe = INVALID_HANDLE_VALUE;
    // The listener makes its pipe shortly after Start: retry as a client does.
    for (int attempt = 0; attempt < 500 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        pipe =
            CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(10);
        }
    }
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    Message request;
    request.kind = IV_CONNECT;
    request.magic2 = 0x12345678;
    char clientName[] = "Sneaky";
    request.payload = clientName;
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(pipe, &request, sizeof request, &written, nullptr));
    char reply[512];
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(pipe, reply, sizeof reply, &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    CloseHandle(pipe);
    ASSERT_TRUE(boxes.WaitForCount(1, 2000));
    EXPECT_EQ(boxes.Take()[0].text.rfind("Received invalid message", 0), 0u);
    EXPECT_FALSE(server.ClientExists("Sneaky"));
}

TEST_F(MessagingTest, AConnectionFromAnotherProcessIsRefusedAndNothingRegistered) {
    ChildProcess intruder(helper(), {"foreign-connect", "test_itm_server"});
    EXPECT_EQ(intruder.ReadLine(5000), "no reply");
    EXPECT_EQ(intruder.Wait(5000), 0);
    EXPECT_FALSE(server.ClientExists("Intruder"));
    // The server goes on serving its own process.
    MessageClient viewer;
    EXPECT_TRUE(ConnectOnThisThread(viewer, "Viewer"));
    EXPECT_EQ(viewer.Id(), 1);
}

TEST_F(MessagingTest, TheSharedLockHeldElsewhereTimesOutAndIsReportedNotThrown) {
    ChildProcess holder(helper(), {"hold-mutex", "mail_mutex"});
    ASSERT_EQ(holder.ReadLine(5000), "held");
    Message message = textMessage(IV_NEXT_IMAGE, "a.jpg");
    EXPECT_FALSE(server.AddMessage("Viewer", message));
    auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "A program exception occurred");
    EXPECT_EQ(shown[0].text.rfind("Problem in MessageServer::AddMessage\nWaitForSingleObject "
                                  "returned WAIT_TIMEOUT\n\nThe system reports this error:\n\n",
                                  0),
              0u)
        << shown[0].text;

    // A delivery to an unknown client needs the lock for its placeholder: contained as well.
    EXPECT_FALSE(server.Deliver("Viewer", message, true));
    shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].text.find("WaitForSingleObject returned WAIT_TIMEOUT"), std::string::npos);
    FreeMessagePayload(message);
}

namespace {

// Starts a helper that takes "mail_mutex" and kills it while it holds the lock.
void killAHolderOfTheSharedLock() {
    ChildProcess holder(helper(), {"hold-mutex", "mail_mutex"});
    ASSERT_EQ(holder.ReadLine(5000).rfind("held", 0), 0u);
    holder.Kill(SIGKILL);
    holder.Wait(5000);
}

void expectOneAbandonmentReport(testsupport::RecordedBoxes& boxes) {
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "A program exception occurred");
    EXPECT_EQ(shown[0].text.rfind("Problem in MessageServer::wait_for_mutex\nWaitForSingleObject "
                                  "returned WAIT_ABANDONED\n\nThe system reports this error:",
                                  0),
              0u)
        << shown[0].text;
}

} // namespace

// A process killed while it held "mail_mutex" once cost the next hand-over its file: the
// operation that met the abandoned lock reported it and gave up. It owns the lock then, and
// the lock is consistent again, so it reports once and does its work.
TEST_F(MessagingTest, AnOwnerKilledHoldingTheLockIsReportedOnceAndTheMessageStillArrives) {
    MessageClient viewer, sender;
    ASSERT_TRUE(ConnectOnThisThread(viewer, "Viewer"));
    ASSERT_TRUE(ConnectOnThisThread(sender, "MainForm"));
    takeNotifications();

    killAHolderOfTheSharedLock();
    Message first = textMessage(IV_DISPLAY_IMAGE, "/photos/after a crash.jpg");
    EXPECT_TRUE(sender.Send("Viewer", first, true));
    expectOneAbandonmentReport(boxes);
    EXPECT_EQ(takeNotifications(), 1);
    Message received;
    ASSERT_TRUE(viewer.PopMessage(received));
    EXPECT_EQ(received.kind, IV_DISPLAY_IMAGE);
    EXPECT_STREQ(received.payload, "/photos/after a crash.jpg");
    FreeMessagePayload(received);

    // A delivery to a client not yet registered takes the lock several times over (placeholder,
    // message, pending mark): still one report, and the message waits for its client.
    killAHolderOfTheSharedLock();
    Message second = textMessage(IV_NEXT_IMAGE, "b.jpg");
    EXPECT_TRUE(sender.Send("Browser", second, true));
    expectOneAbandonmentReport(boxes);
    EXPECT_EQ(server.get_message_count("Browser"), 1);

    // The handshake's registration on the server's worker thread meets it the same way.
    killAHolderOfTheSharedLock();
    MessageClient browser;
    ASSERT_TRUE(ConnectOnThisThread(browser, "Browser"));
    ASSERT_TRUE(boxes.WaitForCount(1, 2000));
    expectOneAbandonmentReport(boxes);
    EXPECT_EQ(takeNotifications(), 1); // the waiting message's notification
    ASSERT_TRUE(browser.PopMessage(received));
    EXPECT_STREQ(received.payload, "b.jpg");
    FreeMessagePayload(received);

    // And then all is as before: no more reports, the lock is free for everybody.
    Message third = textMessage(IV_DISPLAY_IMAGE, "c.jpg");
    EXPECT_TRUE(sender.Send("Viewer", third, true));
    EXPECT_EQ(viewer.HasNewMessages(), 1);
    EXPECT_EQ(boxes.Count(), 0u);
    ChildProcess other(helper(), {"hold-mutex", "mail_mutex"});
    EXPECT_EQ(other.ReadLine(5000), "held");
}

TEST_F(MessagingTest, UpdatingTheWindowOfAnUnknownClientIsReported) {
    EXPECT_FALSE(server.UpdateWindowHandle("Nobody", 5));
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.rfind(
                  "problem in MessageServer::UpdateWindowHandle\nClient doesn't exist", 0),
              0u);
    // The lock was given back.
    Message message;
    EXPECT_TRUE(server.Deliver("Nobody", message, false));
}

TEST(MessageLayout, FreshMessagesHaveTheMagicValuesAndZerosElsewhere) {
    Message message;
    unsigned char bytes[sizeof(Message)];
    std::memcpy(bytes, &message, sizeof bytes);
    EXPECT_EQ(bytes[0], 0x87);
    EXPECT_EQ(bytes[3], 0x69);
    EXPECT_EQ(bytes[4], 0x1A);
    EXPECT_EQ(bytes[7], 0xBC);
    for (std::size_t i = 8; i < sizeof bytes; ++i) {
        EXPECT_EQ(bytes[i], 0) << "byte " << i;
    }
    EXPECT_TRUE(message.IsValid());
    message.magic1 = 0;
    EXPECT_FALSE(message.IsValid());
}
