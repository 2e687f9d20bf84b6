// Named pipes, in message mode, between the threads and processes of this user.
//
// "\\.\pipe\NAME" is a SOCK_SEQPACKET Unix socket at "<runtime>/pipe/NAME": one listening
// socket per name and process, bound by the first CreateNamedPipeA and kept until
// CloseNamedPipeServer; every pipe instance accepts one client on it.
#pragma once

#include "Kernel.h"

constexpr DWORD PIPE_ACCESS_DUPLEX = 0x00000003;
constexpr DWORD PIPE_TYPE_MESSAGE = 0x00000004;
constexpr DWORD PIPE_READMODE_MESSAGE = 0x00000002;
constexpr DWORD PIPE_WAIT = 0x00000000;
constexpr DWORD PIPE_UNLIMITED_INSTANCES = 255;
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;

// A server-side instance of the pipe name ("\\.\pipe\NAME"); null on failure (a bad name,
// ERROR_FILENAME_EXCED_RANGE for a name too long for a socket path, or the bind's error).
HANDLE CreateNamedPipeA(const char* name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                        DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeOut,
                        SECURITY_ATTRIBUTES* security);
// Waits for one client to connect to the instance. FALSE when the pipe server was closed
// (ERROR_BROKEN_PIPE) or accepting failed. Reads on the connected instance give up after
// 10 seconds of silence (ERROR_SEM_TIMEOUT), so a silent client cannot hold a worker forever.
BOOL ConnectNamedPipe(HANDLE pipe, void* overlapped);
// Ends the instance's connection. The handle must still be closed.
BOOL DisconnectNamedPipe(HANDLE pipe);
// The process id of the client connected to a server instance (from SO_PEERCRED).
BOOL GetNamedPipeClientProcessId(HANDLE pipe, DWORD* processId);
// Closes the listening socket of this process's pipe NAME and removes its path, so that a
// thread blocked in ConnectNamedPipe returns FALSE. Not a call of the original API: the
// program's server uses it when it is destroyed.
BOOL CloseNamedPipeServer(const char* name);

// TRUE when a server has the pipe (its socket exists); FALSE with ERROR_FILE_NOT_FOUND at once
// otherwise. Connection attempts that find the server busy are the caller's to retry.
BOOL WaitNamedPipeA(const char* name, DWORD timeOut);
// Connects to the pipe NAME. INVALID_HANDLE_VALUE on failure: ERROR_FILE_NOT_FOUND when no
// server has it, ERROR_PIPE_BUSY when its socket refuses the connection.
HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                   DWORD creationDisposition, DWORD flags, HANDLE templateFile);
// Message mode is the only mode; this accepts it and changes nothing.
BOOL SetNamedPipeHandleState(HANDLE pipe, DWORD* mode, DWORD* maxCollectionCount,
                             DWORD* collectDataTimeout);

// One message per call. A message longer than size fills the buffer and gives FALSE with
// ERROR_MORE_DATA; the other end having closed gives FALSE with ERROR_BROKEN_PIPE.
BOOL ReadFile(HANDLE pipe, void* buffer, DWORD size, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE pipe, const void* buffer, DWORD size, DWORD* written, void* overlapped);
BOOL FlushFileBuffers(HANDLE pipe);
