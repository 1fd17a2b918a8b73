#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>

// A thin owner of one blocking IPv4 socket with coded failures, for the frame channels'
// clients, tools and tests (the servers' own sockets are non-blocking and their loop's).
//
// Operations return 1 for success and 0 for failure (Receive and Send: a count or -1) and
// remember the failure's code and errno for GetErrorText. One receiver and one sender may
// use the object at once, and any thread may call Shutdown to wake both; Close and the
// destructor belong to the owner once no other thread uses the socket (on Linux, closing
// a descriptor does not wake a thread blocked on it, and the number may be reused at once).
class CTcpSocket {
  public:
    // Failure codes; their numbers appear in the error texts.
    enum : int {
        kErrSocket = 2,
        kErrCreateBind = 4,
        kErrShutdown = 6,
        kErrListen = 7,
        kErrAttach = 8,
        kErrAccept = 9,
        kErrBindAddr = 10,
        kErrBindPort = 11,
        kErrPeerAddress = 12,
        kErrPeerName = 13,
        kErrConnect = 14,
        kErrLookup = 15,
        kErrConnectAddr = 16,
    };

    CTcpSocket() = default;
    virtual ~CTcpSocket();
    CTcpSocket(const CTcpSocket&) = delete;
    CTcpSocket& operator=(const CTcpSocket&) = delete;

    // Opens a socket of `type` (SOCK_STREAM for the servers) and binds it to `port` on the
    // dotted `address`, or on every local address when it is null. Listening sockets may
    // be re-bound while old connections of the port linger in TIME_WAIT.
    int Create(uint16_t port, int type = SOCK_STREAM, const char* address = nullptr);
    int Listen(int backlog = 5);
    // Waits for one connection and hands it to `target` (whose previous socket is closed).
    int Accept(CTcpSocket& target, sockaddr_in* address = nullptr, socklen_t* length = nullptr);
    // Shuts down for sending and closes; the result of close (0), or -1 when nothing was open.
    int Close();

    // Reads exactly `length` bytes (at most 4000 per call): `length`, 0 for length < 1, or
    // -1 when the connection fails or the peer closes it first.
    int Receive(void* buffer, int length, int flags = 0);
    // Sends the whole buffer, continuing partial sends: `length`, or -1 on failure.
    // Never raises SIGPIPE.
    int64_t Send(const void* buffer, uint32_t length, int flags = 0);

    int Bind(const sockaddr* address, socklen_t length);
    int Bind(uint16_t port, const char* address = nullptr);
    // Tries `host` as a dotted address first, then looks it up. Opens a stream socket
    // when none is open.
    int Connect(const char* host, uint16_t port);
    int Connect(const sockaddr* address, socklen_t length);
    int GetPeerName(sockaddr_in* address);
    int GetPeerAddress(std::string& address, uint16_t& port);
    // Closes the current socket and takes over `fd`; refuses an invalid one.
    int Attach(int fd);
    // SHUT_RD, SHUT_WR or SHUT_RDWR. SHUT_RDWR wakes threads blocked in Receive, Send
    // and Accept without giving up the descriptor.
    int Shutdown(int how);

    // The port the socket is bound to (useful after Create with port 0), or 0.
    uint16_t GetLocalPort() const;

    void GetErrorText(std::string& text) const;
    std::string GetErrorText() const;
    // The text of failure `code` with errno `err` ("" for code 0).
    static std::string ErrorText(int code, int errnoValue);
    int GetErrorCode() const { return errorCode_.load(std::memory_order_relaxed); }
    // errno of the last failure.
    int GetLastErrno() const { return errorErrno_.load(std::memory_order_relaxed); }
    int GetHandle() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }

  private:
    void Fail(int code, int err);
    bool OpenStream();
    // Shut down for sending, then close, whatever the first step gave; the handle becomes -1.
    int Release();

    int fd_ = -1;
    // Written by whichever thread fails; informational only.
    std::atomic<int> errorCode_{0};
    std::atomic<int> errorErrno_{0};
};
