#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What the front hands to the application: one complete, well-framed request.
struct FrontRequest
{
    std::string method;
    std::string target;                                        // as sent, query included
    std::vector<std::pair<std::string, std::string>> headers;  // in the order sent
    std::string body;
    std::string peerAddress;  // the TCP peer, IPv4-mapped addresses unwrapped

    // Header names compare without case. first() and last() are empty when absent.
    std::string first(std::string_view name) const;
    std::string last(std::string_view name) const;
    int count(std::string_view name) const;
};

struct FrontResponse
{
    int status = 200;
    std::string body;
    bool close = false;
    std::string contentType = "application/json";
    // Sent as given after the fixed ones (Set-Cookie, the console's page policy).
    std::vector<std::pair<std::string, std::string>> headers;
};

struct FrontOptions
{
    // A request's header block must be complete this long after its first byte
    // (for a new connection: after the connection opened).
    std::chrono::milliseconds headerTimeout{10'000};
    // The body must be complete this long after the header.
    std::chrono::milliseconds bodyTimeout{30'000};
    // An idle keep-alive connection is closed after this.
    std::chrono::milliseconds idleTimeout{60'000};
    // Writing an answer (and the TLS handshake) may take this long.
    std::chrono::milliseconds writeTimeout{30'000};
    // Past either cap, new connections are closed at once: a flood costs the
    // flooder, not the clients already being served.
    int maxConnections = 1000;
    int maxConnectionsPerAddress = 64;  // 0: no per-address cap
    std::size_t maxHeaderBytes = 16 * 1024;
    std::size_t maxBodyBytes = 64 * 1024;
    // Bytes that unfinished requests may hold across all connections: each
    // connection reserves its header room on accept and its body's size
    // when the header announces it.
    std::size_t maxBufferedBytes = 64 * 1024 * 1024;
    // Network threads, each with an event loop of its own: a connection
    // lives its whole life on the thread that was handed it on accept.
    int threads = 1;
};

// Pre-built answers for what the front refuses by itself. Read from network
// threads, so they are fixed before the front starts.
struct FrontRefusals
{
    std::string malformed;  // 400
    std::string tooLarge;   // 413
    std::string busy;       // 503
};

// HTTP/1.1 on Boost.Beast: strict framing, time-outs, connection and memory
// caps, optional TLS. Runs its own network threads; the application gets
// complete requests through `Handler`, on a network thread, and must not block
// there for long: it answers through `Respond`, at once (written from that
// thread without a hand-over) or later from any thread. Requests on one
// connection are read one after another, so pipelined requests are answered
// in order.
class HttpFront
{
public:
    using Respond = std::function<void(FrontResponse)>;
    // `thread` is the network thread's number, 0 to threads - 1.
    using Handler = std::function<void(FrontRequest, Respond, int thread)>;
    // Run on each network thread before it serves anything and after it has
    // stopped: where the application sets up and ends what is its own there.
    using ThreadHook = std::function<void(int thread)>;
    // Called on a network thread for every request the front answered itself
    // (status) or dropped (status 0, with the reason).
    using Refused = std::function<void(int status, const std::string& reason)>;

    HttpFront(FrontOptions options, FrontRefusals refusals, Handler handler, Refused refused);
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    // Call before listen().
    void setThreadHooks(ThreadHook started, ThreadHook finished);
    // PEM certificate chain and private key; call before listen().
    bool setupTls(const std::string& certPath, const std::string& keyPath, std::string* error);
    // Returns the bound port, 0 on failure (with *error set). Starts the
    // network threads on the first call.
    unsigned short listen(const std::string& address, unsigned short port, std::string* error);
    void stop();

    struct Impl;

private:
    std::shared_ptr<Impl> m_impl;
};
