// File attributes the shell views show that POSIX does not name.
#pragma once

#include <string>

namespace platform {

// Whether the file system keeps path compressed (the inode's compression flag, as chattr +c
// sets it on Btrfs and others). False when it does not, or it cannot be asked. Any thread; opens
// the file without following it into a FIFO's wait.
bool IsCompressedFile(const std::string& path);

} // namespace platform
