// The per-user runtime folder that holds the layer's sockets, events and mutexes.
#pragma once

#include <string>

namespace platform {

// "$XDG_RUNTIME_DIR/orvalen", or "/tmp/orvalen-<uid>" where that variable is unset or empty.
// Created with mode 0700 on first use; an existing folder must be a real folder owned by this
// user and closed to everybody else. Returns the path, or an empty string on failure with the
// last error set (ERROR_ACCESS_DENIED for a folder that fails the owner check). The result
// follows changes of XDG_RUNTIME_DIR (tests point it at fresh folders). Thread-safe.
std::string RuntimeFolder();

// Empty when RuntimeFolder() can be used; otherwise why not, for a user to read: "The runtime
// folder /tmp/orvalen-0 is not a private folder of this user: owned by uid 1001, mode 0755" (or
// the system's text when it cannot be made or examined). Thread-safe.
std::string RuntimeFolderProblem();

// RuntimeFolder() + "/" + name, created like the runtime folder itself. Empty on failure.
std::string RuntimeSubfolder(const char* name);

// "$XDG_CACHE_HOME/orvalen/<name>" (or "$HOME/.cache/orvalen/<name>"), created with mode 0700 like
// the runtime folder: for large files of this user that may be thrown away at any time. Empty
// on failure with the last error set. Thread-safe.
std::string CacheSubfolder(const char* name);

// True when name can be used as one file name inside a runtime subfolder: not empty, no '/',
// not "." or "..". Sets ERROR_INVALID_NAME when it cannot.
bool IsValidObjectName(const char* name);

} // namespace platform
