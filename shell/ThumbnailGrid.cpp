#include "ThumbnailGrid.h"

#include "ShellIcons.h"
#include "StShellViews.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>

namespace {

constexpr int kCellMargin = 8;   // around a thumbnail, pixels
constexpr int kCaptionLines = 2; // of the name under it

class ThumbnailDelegate : public QStyledItemDelegate {
public:
    ThumbnailDelegate(TStCustomShellListView* list, ThumbnailGrid* grid)
        : QStyledItemDelegate(grid), list_(list), grid_(grid) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        const int edge = grid_->Edge();
        return {edge + 2 * kCellMargin,
                edge + 2 * kCellMargin + kCaptionLines * option.fontMetrics.height()};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const TStShellItem* item = list_->ItemOfRow(index.row());
        if (item == nullptr) {
            return;
        }
        const QRect cell = option.rect;
        const bool selected = option.state & QStyle::State_Selected;
        if (selected) {
            painter->fillRect(cell.adjusted(2, 2, -2, -2), option.palette.highlight());
        }
        const int edge = grid_->Edge();
        const QRect square(cell.x() + kCellMargin, cell.y() + kCellMargin, edge, edge);
        const QImage* thumbnail = item->IsFile ? grid_->Thumbnails().Find(item->Path) : nullptr;
        if (thumbnail != nullptr) {
            QSize size = thumbnail->size();
            if (size.width() > edge || size.height() > edge) {
                size.scale(edge, edge, Qt::KeepAspectRatio);
            }
            QRect target(QPoint(0, 0), size);
            target.moveCenter(square.center());
            painter->drawImage(target, *thumbnail);
        } else {
            const int side = std::min(edge, 96);
            QRect target(0, 0, side, side);
            target.moveCenter(square.center());
            IconOfItem(*item).paint(painter, target);
            if (item->IsFile && IsImageName(item->DisplayName) &&
                !grid_->Thumbnails().Failed(item->Path)) {
                wanted.push_back(item->Path);
            }
        }
        const QRect caption(cell.x() + 2, square.bottom() + 4, cell.width() - 4,
                            kCaptionLines * option.fontMetrics.height());
        painter->setPen(selected ? option.palette.highlightedText().color()
                                 : option.palette.text().color());
        const QString name =
            option.fontMetrics.elidedText(QString::fromStdString(item->DisplayName),
                                          Qt::ElideMiddle, caption.width() * kCaptionLines - 8);
        painter->drawText(caption, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWrapAnywhere, name);
    }

    // Paths painted without a thumbnail during the current paint, in the order painted.
    mutable std::vector<std::string> wanted;

private:
    TStCustomShellListView* list_;
    ThumbnailGrid* grid_;
};

} // namespace

ThumbnailGrid::ThumbnailGrid(TStCustomShellListView* list) : QListView(list), list_(list) {
    setViewMode(QListView::IconMode);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setUniformItemSizes(true);
    // A folder of thousands is laid out a batch per turn of the loop, the first screen first.
    setLayoutMode(QListView::Batched);
    setBatchSize(200);
    setWrapping(true);
    setSpacing(2);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::EditKeyPressed);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Opaque, so that the report view it covers is not painted under it: its rows were most of
    // the window's painting time whenever rows were added or a thumbnail arrived.
    setAutoFillBackground(true);
    setItemDelegate(new ThumbnailDelegate(list, this));
    setModel(list->model());
    setSelectionModel(list->selectionModel());
    thumbnails_.OnReady = [this](const std::string&) { viewport()->update(); };
    connect(this, &QListView::doubleClicked, this, [this](const QModelIndex& index) {
        emit list_->itemDoubleClicked(list_->topLevelItem(index.row()), 0);
    });
}

void ThumbnailGrid::SetEdge(int edge) {
    thumbnails_.SetEdge(edge);
    // The delegate's size hint changed: the layout is made again.
    setGridSize(QSize());
    doItemsLayout();
    viewport()->update();
}

void ThumbnailGrid::FolderChanged() {
    thumbnails_.Clear();
}

void ThumbnailGrid::paintEvent(QPaintEvent* event) {
    auto* delegate = static_cast<ThumbnailDelegate*>(itemDelegate());
    delegate->wanted.clear();
    QListView::paintEvent(event);
    if (!delegate->wanted.empty()) {
        thumbnails_.Request(delegate->wanted, true);
        delegate->wanted.clear();
    }
}

std::vector<std::string> ThumbnailGrid::VisiblePaths() {
    std::vector<std::string> paths;
    const QRect area = viewport()->rect();
    for (int row = 0; row < model()->rowCount(); ++row) {
        const QRect cell = visualRect(model()->index(row, 0));
        if (!cell.intersects(area)) {
            if (cell.top() > area.bottom()) {
                break; // rows below are laid out further down
            }
            continue;
        }
        const TStShellItem* item = list_->ItemOfRow(row);
        if (item != nullptr && item->IsFile && IsImageName(item->DisplayName)) {
            paths.push_back(item->Path);
        }
    }
    return paths;
}

void ThumbnailGrid::keyPressEvent(QKeyEvent* event) {
    // The keys the browser acts on go through the list, where its filters and shortcuts are.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F2:
        QApplication::sendEvent(list_, event);
        return;
    default:
        QListView::keyPressEvent(event);
    }
}

void ThumbnailGrid::contextMenuEvent(QContextMenuEvent* event) {
    // A scroll area passes a mouse's menu request on to nobody: the list is asked directly.
    if (!list_->ShowContextMenu(event->globalPos())) {
        QListView::contextMenuEvent(event);
    }
}

void ThumbnailGrid::keyReleaseEvent(QKeyEvent* event) {
    QListView::keyReleaseEvent(event);
    QApplication::sendEvent(list_, event);
}
