#include "Listbox1.h"

#include "platform/Components.h"

namespace Listbox1 {
void Register() {
    platform::RegisterComponents("Custom", {"TListBox1"});
}
} // namespace Listbox1
