#pragma once

// The system's part of the sockets, beside the shared part in SocketUnit.cpp: the BSD calls both systems
// have are made there; what POSIX (SocketPosixUnit.cpp) and Winsock (SocketWindowsUnit.cpp) do differently
// (setting up, options, waiting, closing, error numbers and texts) is asked of the system's file.

#include "platform/SocketUnit.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

// The system's error numbers the shared part tells apart.
extern const int SocketErrorInvalid;
extern const int SocketErrorInterrupted;
extern const int SocketErrorWouldBlock;
// The error a bind or listen fails with when another socket holds the port.
bool SocketAddressInUse(int error);

// Sets up the system's sockets where it has to be done once, before the first call.
void EnsureSockets();
// A new TCP socket of the family, InvalidSocketHandle on an error.
TSocketHandle NewSocket(int family);
int CloseSocketHandle(TSocketHandle handle);
// One receive and one send: the count, -1 on an error.
long ReceiveOnce(TSocketHandle handle, char* data, size_t size);
long SendOnce(TSocketHandle handle, const char* data, size_t size);
// Waits for bytes to read as poll does: > 0 ready, 0 the time ran out, < 0 an error.
int PollOne(TSocketHandle handle, int timeoutMs);
bool SetBlocking(TSocketHandle handle, bool blocking);

// The address option of a listener, set before it binds.
void SetListenerAddressUse(TSocketHandle listener);
// One accept of a connection waiting on the listener, InvalidSocketHandle when none is or on an error.
TSocketHandle AcceptOnce(TSocketHandle listener, sockaddr* from, socklen_t* fromLength);
// Makes an accepted socket as the ones this unit creates are; false on an error.
bool PrepareAccepted(TSocketHandle handle);
// Raises Exception for a getaddrinfo that failed with status.
[[noreturn]] void RaiseResolveError(int status);
