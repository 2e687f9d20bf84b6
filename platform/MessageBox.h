// Message boxes.
#pragma once

#include "WinTypes.h"

#include <functional>

constexpr UINT MB_OK = 0x00;
constexpr UINT MB_YESNO = 0x04;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Shows text in a modal box titled caption, through the installed presenter, and returns the
// presenter's answer (IDOK). The default presenter writes "caption: text" to standard error; a
// GUI program installs one that shows a real box; tests install one that records. Any thread.
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT style);

namespace platform {

using MessageBoxPresenter =
    std::function<int(HWND owner, const char* text, const char* caption, UINT style)>;

// Installs presenter (an empty function restores the default) and returns the previous one.
MessageBoxPresenter SetMessageBoxPresenter(MessageBoxPresenter presenter);

} // namespace platform
