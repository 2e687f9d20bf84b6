// The entry of Orvalen_main.
#include "Application.h"
#include "Mainform.h"

#include "associations/DesktopBridge.h"
#include "associations/Options.h"
#include "browser/Browserform.h"
#include "common/ErrorReporting.h"
#include "common/FileNames.h"
#include "common/ProcessValues.h"
#include "display/ColourManagement.h"
#include "platform/qt/Application.h"
#include "platform/qt/MonitorProfile.h"
#include "platform/qt/QtWindows.h"
#include "viewer/Viewerform.h"

#include <QApplication>
#include <QMessageBox>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

int main(int argc, char** argv) {
    Viewer = nullptr;
    Browser = nullptr;
    RenameFile_Dialog = nullptr;
    AboutBox = nullptr;
    OptionsForm = nullptr;
    DebugTrace("WinMain() start");
    const bool message_box = argc == 4 && std::string(argv[1]) == "--message-box";
    // Whole names: the folder a file is in is the one stepped through, and a file handed to a
    // running viewer must mean the same there.
    const auto wholeNames = [](int count, char** values) {
        std::vector<std::string> names;
        for (int i = 1; i < count; ++i) {
            names.push_back(AbsoluteName(values[i]));
        }
        return names;
    };
    // A start on a file begins decoding it now, on a thread of its own, while the application
    // object and the windows are made. It is only a head start: whatever fails here, the viewer
    // decodes the file itself.
    std::unique_ptr<ReadAhead> opening;
    if (!message_box) {
        try {
            opening = StartOpeningDecode(wholeNames(argc, argv),
                                         std::filesystem::read_symlink("/proc/self/exe"));
        } catch (...) {
            opening.reset();
        }
    }
    // The application object has no task-bar entry of its own here: each window has its own.
    TApplication application(argc, argv);
    platform::InstallQtMessageBoxPresenter();
    if (message_box) {
        // The launcher's boxes: it has no toolkit of its own.
        QMessageBox::critical(nullptr, QString::fromUtf8(argv[2]), QString::fromUtf8(argv[3]));
        return 0;
    }
    try {
        QApplication::setApplicationName("Orvalen Viewer");
        QApplication::setApplicationDisplayName("Orvalen Viewer");
        // Ties the windows to the installed menu entry (the Wayland app id); their icon, from
        // the desktop's icon theme, is set by the main form. A build folder has neither,
        // harmlessly.
        QGuiApplication::setDesktopFileName("org.orvalen.Orvalen");
        const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe");
        // The guide sits beside the program in a build folder, under share/doc once installed.
        std::filesystem::path guide = program.parent_path() / "Orvalen_main.html";
        if (!std::filesystem::exists(guide)) {
            guide = program.parent_path().parent_path() / "share/doc/orvalen/Orvalen_main.html";
        }
        application_help_file = guide.string();
        // Without the toolkit's own options, which the application object took out.
        const std::vector<std::string> arguments = wholeNames(argc, argv);
        std::string received;
        for (const std::string& argument : arguments) {
            received += "[" + argument + "]";
        }
        DebugTrace(("arguments " + received).c_str());
        // The options dialog behind the browser's Options action, and the desktop bridge that
        // follows every change of the associations.
        TBrowser::ShowOptionsDialog = [](QWidget* owner) {
            TOptionsForm dialog(owner);
            dialog.exec();
        };
        AddAssocListener(
            [] { associations::UpdateDesktopAssociations(associations::LauncherPath()); });
        // Pictures are converted to the monitor's profile when the desktop publishes one, from
        // the first on; when it changes, the picture on display is decoded again for it.
        platform::MonitorProfileWatch monitor_profile([](const std::string& profile) {
            engine::SetDisplayProfile(profile);
            if (Viewer != nullptr) {
                Viewer->ShowAgainInDisplayColours();
            }
        });
        engine::SetDisplayProfile(monitor_profile.Profile());
        if (!monitor_profile.Profile().empty()) {
            opening.reset(); // begun before the monitor's profile was known: begun again later
        }
        MainForm = new TMainForm(arguments, program.string(), std::move(opening));
        platform::RunApplication();
    } catch (const char* text) {
        ShowApplicationException(text);
    } catch (const std::exception& error) {
        ShowApplicationException(error.what());
    } catch (...) {
        ShowApplicationException("");
    }
    CloseForms();
    return 0;
}
