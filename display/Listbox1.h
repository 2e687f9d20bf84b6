// The package's list box component: the framework's list box, nothing added.
#pragma once

#include <QListWidget>

class TListBox1 : public QListWidget {
public:
    explicit TListBox1(QWidget* owner = nullptr) : QListWidget(owner) {}
};

// Registers TListBox1 on the palette page "Custom".
namespace Listbox1 {
void Register();
}
