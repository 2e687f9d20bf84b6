// The file list's icon style: the same rows (same model, same selection) shown as a grid of
// thumbnails over the report view. Image files show their thumbnail once a worker has it, every
// other item its icon; only the cells on screen ask for thumbnails, so what the user sees comes
// first.
#pragma once

#include "Thumbnailer.h"

#include <QListView>

class TStCustomShellListView;

class ThumbnailGrid : public QListView {
public:
    explicit ThumbnailGrid(TStCustomShellListView* list);

    // The edge of a thumbnail's square: 128, 256 or 512.
    void SetEdge(int edge);
    int Edge() const { return thumbnails_.Edge(); }
    Thumbnailer& Thumbnails() { return thumbnails_; }
    // The folder changed: thumbnails asked for the old one are dropped and their decodes stop.
    void FolderChanged();
    // The image paths of the cells on screen, top left first.
    std::vector<std::string> VisiblePaths();
    bool IsEditing() const { return state() == EditingState; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    TStCustomShellListView* list_;
    Thumbnailer thumbnails_;
};
