#pragma once

// A plain HTTP/1.1 client for the web server's tests, written from the RFCs: raw sockets on
// loopback, so malformed and slow requests can be sent as they are.
#include <cstdint>
#include <map>
#include <string>

struct HttpResponse {
    int status = 0;                              // 0: no answer, the connection closed
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;                            // de-chunked
};

// A connected socket to 127.0.0.1:`port` from `from` (another loopback address is another
// peer); -1 on failure. Reads time out after 5 s, connecting and sending after 1 s.
int Connect(uint16_t port, const char* from = "127.0.0.1");
bool SendAll(int fd, const std::string& bytes);
// Reads one response (Content-Length, chunked, or until close).
HttpResponse ReadResponse(int fd);
// One request with "Connection: close".
HttpResponse Fetch(uint16_t port, const std::string& method, const std::string& path);

// Reads a multipart/x-mixed-replace stream (RFC 2046): the response head, then parts.
class MultipartReader {
  public:
    explicit MultipartReader(int fd) : fd_(fd) {}
    // The head; false when it is not a multipart answer.
    bool Start();
    // The next part's body; false at the end or on a malformed part.
    bool Next(std::string* body);

  private:
    bool Fill();
    int fd_;
    std::string boundary_;
    std::string buffer_;  // de-chunked bytes not yet taken
    std::string raw_;     // received bytes not yet de-chunked
};
