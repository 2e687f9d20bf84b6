// The few process-wide values the design names; everything else is handed over by its owner.
#pragma once

#include "platform/WinTypes.h"

#include <atomic>
#include <string>

// The name of this process's message server; set once by the main form, read by every client.
extern std::string itm_server_name;
// The launcher's file name, registered as the program that opens image files.
extern const char* const launcher_exe_name;
// The performance-counter reading stored by whoever asks the viewer to show a file; the viewer
// measures its load time from it.
extern std::atomic<LONGLONG> load_start_counter;
// The help file the Help > Contents actions open.
extern std::string application_help_file;
// True while this process is the solitary viewer (the main form's is_solitary_viewer).
extern bool solitary_viewer_flag;
