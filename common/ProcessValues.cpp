#include "ProcessValues.h"

std::string itm_server_name;
const char* const launcher_exe_name = "OrvalenViewer";
std::atomic<LONGLONG> load_start_counter{0};
std::string application_help_file;
bool solitary_viewer_flag = false;
