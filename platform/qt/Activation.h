// Bringing a window to the user in the session the toolkit runs on: on X it is raised and
// activated; under Wayland a program may activate its window only with a token the desktop
// gave (xdg-activation-v1), and otherwise asks for attention.
#pragma once

#include "../Session.h"

#include <string>

class QWidget;

namespace platform {

// The session of the running application (its platform plugin); SessionOfEnvironment() when no
// GUI application object exists yet.
SessionKind ApplicationSession();

enum class Activation {
    Raised,             // raised and activated directly (X, or a window of the focused program)
    ActivatedWithToken, // activation requested with the desktop's token
    AskedForAttention,  // no token and not focused: the task bar or dock marks the window
};

// Brings window (a shown top-level widget) forward as the session allows. token: the desktop's
// activation token for this request, empty when none came; used once. In a session that needs
// a token, a program that already has the focus activates without one (the toolkit asks the
// compositor for a token of its own). Never fails: the compositor decides what the user sees.
// Writes the outcome to the debugger output. On the GUI thread only.
Activation ActivateWindow(QWidget* window, const std::string& token);

// The token handed over with a file, kept until the next request to raise a window of this
// process takes it (the hand-over's wake-up and its raise arrive as two messages). Offering a
// new token replaces an unused older one. On the GUI thread only.
void OfferActivationToken(const std::string& token);
// The offered token, now removed; empty when none is waiting.
std::string TakeOfferedActivationToken();

} // namespace platform
