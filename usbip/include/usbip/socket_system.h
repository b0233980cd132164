// SPDX-License-Identifier: MIT
// The system's declarations of sockets and addresses (sockaddr, getaddrinfo,
// IPPROTO_TCP, ...), for the code that names them: Winsock 2 on Windows, the
// POSIX headers elsewhere. What else differs between the two is behind the
// functions of stream_socket.h.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif
