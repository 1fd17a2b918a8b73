#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// The system calls the V4L2 backend makes, behind one interface so that tests can put a
// scripted device in place of a driver. Calls report failure as the system calls do
// (-1 or MAP_FAILED, with errno set). Any thread; an implementation is shared by every
// device of a backend.
class IV4l2Io {
  public:
    virtual ~IV4l2Io() = default;

    virtual int Open(const char* path, int flags) = 0;
    virtual int Close(int fd) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void* Mmap(size_t length, int prot, int flags, int fd, off_t offset) = 0;
    virtual int Munmap(void* address, size_t length) = 0;
    virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;

    // Device identities to examine, in listing order: a node's stable link under
    // /dev/v4l/by-id/ when it has one, else /dev/videoN. Opening an identity opens the node.
    virtual std::vector<std::string> ListDeviceNodes() = 0;
};

// The real system calls.
IV4l2Io& SystemV4l2Io();

// `io.Ioctl` retried while it is interrupted by a signal.
int XIoctl(IV4l2Io& io, int fd, unsigned long request, void* arg);

// The text of an errno value.
std::string ErrnoText(int error);
// A driver's fixed-size text field; it is not guaranteed to be terminated.
std::string FieldText(const uint8_t* field, size_t size);

// Owns one descriptor of the I/O interface.
class CIoFd {
  public:
    CIoFd(IV4l2Io& io, int fd) : io_(io), fd_(fd) {}
    ~CIoFd() {
        if (fd_ >= 0)
            io_.Close(fd_);
    }
    CIoFd(const CIoFd&) = delete;
    CIoFd& operator=(const CIoFd&) = delete;
    int get() const { return fd_; }

  private:
    IV4l2Io& io_;
    int fd_;
};
