#pragma once

// The one place where the server leans on the HTTP library beyond its documented interface.
// Everything here was checked against cpp-httplib 0.11.4 (Debian's 0.11.4+ds-1+deb12u1, the
// version cmake/Httplib.cmake pins for every platform); a new library version means reading
// each note in httplib_adapter.cpp again.

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <string>

namespace tunelight::httplib_adapter {

// What one request's handlers tell the worker that answers it. Handlers run on that worker,
// inside LibraryServer::serveOne, and find it through currentExchange().
struct Exchange {
  bool streamReserved = false;  // a place among the event streams was taken
  bool streamStarted = false;   // head and first message sent: the poller takes the stream over
  uint64_t lastSent = 0;
  bool closeAfter = false;  // the body was refused or is not read: the connection is out of step
};

// The exchange of the request being answered on this thread, or null outside serveOne.
Exchange* currentExchange();

// The library's server, used as a request parser and router only: it binds and runs its accept
// loop, but every accepted connection goes to `adopt`, and requests are answered one at a time
// through serveOne on streams the caller supplies.
class LibraryServer : public httplib::Server {
 public:
  explicit LibraryServer(std::function<void(socket_t)> adopt);

  // Raises the listen backlog of the bound socket.
  void widenBacklog();
  // One request: parse, route, answer. False when the connection cannot go on. The request is
  // normalised before any handler sees it (see prepareRequest in the .cpp).
  bool serveOne(httplib::Stream& strm, bool lastOnConnection, bool& closeRequested,
                Exchange& exchange);

 private:
  bool process_and_close_socket(socket_t sock) override;

  const std::function<void(socket_t)> adopt_;
};

// Turns an answer into a bare status: no body, no headers, no content provider.
void clearAnswer(httplib::Response& res);

// The query parameter `key` of the request target, "" when absent. Only the target counts: a
// form body's fields never do.
std::string queryParam(const httplib::Request& req, const std::string& key);

// Sends the answer head of a chunked stream and `first` as its first chunk, then ends the
// library's part of the answer without the closing chunk: the stream goes on elsewhere. `first`
// is called on the worker when the head is due; it returns the message, or false to send none.
void startOpenEndedStream(httplib::Response& res, const char* contentType,
                          std::function<bool(std::string& first)> first,
                          std::function<void()> sent);

// One chunk of a chunked answer body, framed as the library frames its own.
std::string chunkFrame(const std::string& payload);

// The peer's and our own address of a connected socket, as the library reports them in requests.
void remoteAddress(socket_t sock, std::string& ip, int& port);
void localAddress(socket_t sock, std::string& ip, int& port);

}  // namespace tunelight::httplib_adapter
