// Reading ahead while the user steps through a folder: the browser names the next file without
// showing it, a worker decodes it, and the image left behind is kept for a step back.
#include "Viewerform.h"

#include "messaging/Message.h"

#include <QActionGroup>
#include <QMenu>

namespace {

// The choices of the Options menu, in megabytes of decoded pixels (a 24 MP photo is 92).
constexpr int kReadAheadChoices[] = {0, 256, 512, 1024, 2048};

std::size_t megabytes(int count) {
    return static_cast<std::size_t>(count) << 20;
}

} // namespace

void TViewer::createReadAheadActions(QMenu* options) {
    QMenu* memory = options->addMenu("Read-&Ahead Memory");
    auto* group = new QActionGroup(this);
    for (const int choice : kReadAheadChoices) {
        const QString caption = choice == 0     ? QString("&Off")
                                : choice < 1024 ? QString("%1 MB").arg(choice)
                                                : QString("%1 GB").arg(choice / 1024);
        QAction* action = memory->addAction(caption);
        action->setCheckable(true);
        action->setData(choice);
        group->addAction(action);
        read_ahead_actions_.push_back(action);
        connect(action, &QAction::triggered, this, [this, choice] {
            SetReadAheadMegabytes(choice);
            settings->WriteInteger("read_ahead_megabytes", choice);
        });
    }
}

void TViewer::SetReadAheadMegabytes(int count) {
    read_ahead_megabytes_ = count;
    read_ahead->SetBudget(megabytes(count));
    for (QAction* action : read_ahead_actions_) {
        action->setChecked(action->data().toInt() == count);
    }
}

void TViewer::NoteRequestToBrowser(std::int32_t kind) {
    switch (kind) {
    case IV_NEXT_IMAGE:
    case IV_PREVIOUS_IMAGE:
    case IV_NEXT_IMAGE_AND_DELETE:
    case IV_PREVIOUS_IMAGE_AND_DELETE:
        travel_ = kind == IV_NEXT_IMAGE || kind == IV_NEXT_IMAGE_AND_DELETE ? 'D' : 'U';
        // The image left for the trash is not worth its memory.
        keep_left_ = kind == IV_NEXT_IMAGE || kind == IV_PREVIOUS_IMAGE;
        ++steps_pending_;
        break;
    case IV_FIRST_IMAGE:
    case IV_LAST_IMAGE:
    case IV_SHOW_BROWSER:
        stopTravel();
        break;
    default:
        break;
    }
}

bool TViewer::takeStep() {
    if (steps_pending_ > 0) {
        --steps_pending_;
        return travel_ != 0;
    }
    stopTravel(); // a file from elsewhere (a hand-over, the browser's list): a jump
    return false;
}

void TViewer::stopTravel() {
    // What was read ahead is not where the user goes now.
    travel_ = 0;
    steps_pending_ = 0;
    read_ahead->Drop();
}

void TViewer::keepShownImage() {
    // Only pixels exactly as decoded are worth keeping: not a turned view, not a frame of an
    // animation, not premultiplied ones (TakeDecoded refuses those).
    if (!stepping_ || !keep_left_ || !image_loaded || view_turn_ != 1 || animation->Animating()) {
        return;
    }
    engine::DecodeResult left = Display1->CurrentImage.TakeDecoded();
    if (left.image) {
        left_file_ = current_file;
        read_ahead->Keep(current_file, shown_identity_, shown_view_, std::move(left));
    }
}

void TViewer::askForNextFile() {
    if (travel_ == 0 || read_ahead->Budget() == 0 || current_file.empty()) {
        return;
    }
    Message message;
    message.kind = IV_WHICH_IS_NEXT;
    message.data1 = static_cast<std::uint32_t>(travel_);
    message.data2 = ++next_file_question_;
    message.payload = MessagePayloadCopy(current_file.c_str());
    if (!itm_client.Send("Browser", message, true)) {
        FreeMessagePayload(message);
    }
}

void TViewer::NextFileAnswered(const std::string& file, char direction, std::uint32_t question) {
    // An answer to an older question is stale: the user has moved on since.
    if (question != next_file_question_ || direction != travel_ || file.empty() ||
        file == current_file || !image_loaded) {
        return;
    }
    read_ahead->Retain({left_file_, file});
    read_ahead->Fetch(file, firstViewSize());
}
