#include "HttpFront.h"

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
// Streams bound to a loop's own executor type rather than the type-erased
// one: copying and dropping that executor in every operation was a visible
// part of a key request.
using Executor = net::io_context::executor_type;
using Socket = net::basic_stream_socket<tcp, Executor>;
using PlainStream = beast::basic_stream<tcp, Executor>;
using TlsStream = beast::ssl_stream<PlainStream>;

namespace {

// After an error answer the rest of what the client sent is read and thrown
// away for a moment before closing; closing with unread data would reset the
// connection and the client might never see the answer.
constexpr std::size_t kMaxDrainBytes = 1024 * 1024;
constexpr std::chrono::milliseconds kDrainTime{2000};
// accept() failing (out of descriptors) would otherwise spin.
constexpr std::chrono::milliseconds kAcceptRetryDelay{50};
// Room for the header block plus one read of body bytes behind it.
constexpr std::size_t kReadChunk = 8 * 1024;

// The event loop the calling thread runs, on a network thread; null elsewhere.
thread_local net::io_context* tlContext = nullptr;

bool sameName(std::string_view a, std::string_view b)
{
    return beast::iequals(a, b);
}

// One header line. A line break in a name or value would end the header
// early and let the rest be read as more of it: none gets through.
void appendField(std::string* out, std::string_view name, std::string_view value)
{
    const std::size_t start = out->size();
    *out += name;
    *out += ": ";
    *out += value;
    for (std::size_t i = start; i < out->size(); ++i) {
        if ((*out)[i] == '\r' || (*out)[i] == '\n') {
            (*out)[i] = ' ';
        }
    }
    *out += "\r\n";
}

struct SessionBase
{
    virtual ~SessionBase() = default;
    virtual void answer(FrontResponse response) = 0;
};

}  // namespace

std::string FrontRequest::first(std::string_view name) const
{
    for (const auto& [n, v] : headers) {
        if (sameName(n, name)) {
            return v;
        }
    }
    return {};
}

std::string FrontRequest::last(std::string_view name) const
{
    for (auto it = headers.rbegin(); it != headers.rend(); ++it) {
        if (sameName(it->first, name)) {
            return it->second;
        }
    }
    return {};
}

int FrontRequest::count(std::string_view name) const
{
    int n = 0;
    for (const auto& [key, value] : headers) {
        n += sameName(key, name) ? 1 : 0;
    }
    return n;
}

// Lets answers that arrive after stop() fall on the floor instead of on a
// destroyed io_context.
struct FrontLink
{
    std::mutex mutex;
    HttpFront::Impl* impl = nullptr;  // guarded by mutex; null once stopped
};

struct HttpFront::Impl
{
    FrontOptions options;
    FrontRefusals refusals;
    Handler handler;
    Refused refused;
    ThreadHook started;
    ThreadHook finished;
    std::shared_ptr<FrontLink> link = std::make_shared<FrontLink>();

    std::mutex mutex;  // guards the two counts of connections
    int connections = 0;
    std::map<std::string, int> perAddress;
    // Taken and given back on every request with a body: no lock for it.
    std::atomic<std::size_t> buffered{0};
    // Sessions whose request is with the application; nothing else holds
    // them then. One lot per network thread, so that a thread answering its
    // own requests never waits on another's.
    struct Parking
    {
        std::mutex mutex;
        std::uint64_t nextId = 1;
        std::map<std::uint64_t, std::shared_ptr<SessionBase>> waiting;
    };
    std::vector<std::unique_ptr<Parking>> parking;

    std::optional<ssl::context> tls;
    std::vector<std::thread> threads;
    bool stopped = false;
    std::atomic<unsigned> nextContext{0};  // the accepting thread's
    // Last, so they go first: pending handlers own sessions that still reach
    // into the members above while they are destroyed. One per thread; the
    // first also accepts.
    std::vector<std::unique_ptr<net::io_context>> contexts;
    std::vector<net::executor_work_guard<net::io_context::executor_type>> work;

    ~Impl() { stop(); }

    void stop()
    {
        {
            std::lock_guard guard(link->mutex);
            link->impl = nullptr;
        }
        work.clear();
        for (auto& context : contexts) {
            context->stop();
        }
        for (std::thread& t : threads) {
            if (t.joinable()) {
                t.join();
            }
        }
        threads.clear();
        for (auto& lot : parking) {
            std::map<std::uint64_t, std::shared_ptr<SessionBase>> parked;
            {
                std::lock_guard guard(lot->mutex);
                parked.swap(lot->waiting);
            }
            parked.clear();  // while the io_contexts still exist
        }
        stopped = true;
    }

    bool reserve(std::size_t bytes)
    {
        std::size_t now = buffered.load(std::memory_order_relaxed);
        do {
            if (now + bytes > options.maxBufferedBytes) {
                return false;
            }
        } while (!buffered.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
        return true;
    }

    void release(std::size_t bytes)
    {
        std::size_t now = buffered.load(std::memory_order_relaxed);
        while (!buffered.compare_exchange_weak(now, now - std::min(bytes, now),
                                               std::memory_order_relaxed)) {
        }
    }

    std::size_t headerReserve() const { return options.maxHeaderBytes + kReadChunk; }

    bool admit(const std::string& address)
    {
        std::lock_guard guard(mutex);
        int& mine = perAddress[address];
        if (connections >= options.maxConnections ||
            (options.maxConnectionsPerAddress > 0 && mine >= options.maxConnectionsPerAddress) ||
            !reserve(headerReserve())) {
            if (mine == 0) {
                perAddress.erase(address);
            }
            return false;
        }
        ++connections;
        ++mine;
        return true;
    }

    void leave(const std::string& address, std::size_t reserved)
    {
        {
            std::lock_guard guard(mutex);
            --connections;
            auto it = perAddress.find(address);
            if (it != perAddress.end() && --it->second <= 0) {
                perAddress.erase(it);
            }
        }
        release(reserved);
    }

    std::uint64_t park(int thread, std::shared_ptr<SessionBase> session)
    {
        Parking& lot = *parking[std::size_t(thread)];
        std::lock_guard guard(lot.mutex);
        const std::uint64_t id = lot.nextId++;
        lot.waiting.emplace(id, std::move(session));
        return id;
    }

    std::shared_ptr<SessionBase> unpark(int thread, std::uint64_t id)
    {
        Parking& lot = *parking[std::size_t(thread)];
        std::lock_guard guard(lot.mutex);
        auto it = lot.waiting.find(id);
        if (it == lot.waiting.end()) {
            return {};
        }
        auto session = std::move(it->second);
        lot.waiting.erase(it);
        return session;
    }

    void accept(std::shared_ptr<tcp::acceptor> acceptor);
    void onAccepted(Socket socket, int thread);
    void run(int thread);
};

namespace {

template <class Stream>
constexpr bool kIsTls = !std::is_same_v<Stream, PlainStream>;

template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>>
{
public:
    Session(HttpFront::Impl* impl, Stream stream, std::string peer, int thread)
        : m_impl(impl),
          m_stream(std::move(stream)),
          m_buffer(impl->options.maxHeaderBytes + kReadChunk),
          m_peer(std::move(peer)),
          m_thread(thread)
    {}

    ~Session() override { m_impl->leave(m_peer, m_impl->headerReserve() + m_bodyReserved); }

    void start()
    {
        if constexpr (kIsTls<Stream>) {
            lowest().expires_after(m_impl->options.headerTimeout);
            m_stream.async_handshake(ssl::stream_base::server,
                                     [self = this->shared_from_this()](error_code ec) {
                                         if (ec) {
                                             return self->drop();
                                         }
                                         self->readRequest();
                                     });
        } else {
            readRequest();
        }
    }

    // Written out by hand into one buffer: Beast's general serializer (a node
    // per header field, a state block, a chain of buffer views to walk) cost
    // a key request nearly as much as handing the bytes to the socket.
    void answer(FrontResponse response) override
    {
        const auto status = static_cast<http::status>(response.status);
        // No body may follow these, not even an empty one's length.
        const bool bodyless = response.status / 100 == 1 || status == http::status::no_content ||
                              status == http::status::not_modified;
        m_keepAliveAfter = !response.close && m_keepAlive;
        std::string& out = m_out;
        out.clear();
        out.reserve(256 + response.body.size());
        out += "HTTP/1.1 ";
        out += std::to_string(response.status);
        out += ' ';
        out += std::string_view(http::obsolete_reason(status));
        out += "\r\n";
        appendField(&out, "Content-Type", response.contentType);
        // Answers may carry content keys and tokens: never to be cached anywhere.
        appendField(&out, "Cache-Control", "no-store");
        for (const auto& [name, value] : response.headers) {
            appendField(&out, name, value);
        }
        if (!bodyless) {
            appendField(&out, "Content-Length", std::to_string(response.body.size()));
        }
        if (!m_keepAliveAfter) {
            appendField(&out, "Connection", "close");
        }
        out += "\r\n";
        if (!bodyless) {
            out += response.body;
        }
        lowest().expires_after(m_impl->options.writeTimeout);
        net::async_write(
            m_stream, net::buffer(out),
            [self = this->shared_from_this()](error_code ec, std::size_t) { self->onWritten(ec); });
    }

private:
    PlainStream& lowest() { return beast::get_lowest_layer(m_stream); }

    void readRequest()
    {
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_impl->options.maxHeaderBytes));
        m_parser->body_limit(m_impl->options.maxBodyBytes);
        if (m_buffer.size() > 0 || m_fresh) {
            // A new connection or a pipelined request: the header is due now.
            m_fresh = false;
            return readHeader();
        }
        lowest().expires_after(m_impl->options.idleTimeout);
        m_stream.async_read_some(m_buffer.prepare(kReadChunk),
                                 [self = this->shared_from_this()](error_code ec, std::size_t n) {
                                     if (ec) {
                                         return self->drop();
                                     }
                                     self->m_buffer.commit(n);
                                     self->readHeader();
                                 });
    }

    void readHeader()
    {
        lowest().expires_after(m_impl->options.headerTimeout);
        http::async_read_header(
            m_stream, m_buffer, *m_parser,
            [self = this->shared_from_this()](error_code ec, std::size_t) { self->onHeader(ec); });
    }

    void onHeader(error_code ec)
    {
        if (ec) {
            return failed(ec);
        }
        const auto& header = m_parser->get();
        // Beast already refuses a length next to chunked coding and lengths
        // that disagree; a proxy in front might read any repetition or any
        // other coding differently, so those end the connection too.
        int lengths = 0;
        int codings = 0;
        for (const auto& field : header) {
            if (field.name() == http::field::content_length) {
                ++lengths;
                if (field.value().find(',') != beast::string_view::npos) {
                    ++lengths;
                }
            } else if (field.name() == http::field::transfer_encoding) {
                ++codings;
            }
        }
        if (lengths > 1 || codings > 1 || (codings == 1 && !m_parser->chunked()) ||
            (codings == 1 && lengths == 1)) {
            return refuse(400, "ambiguous framing");
        }
        const std::size_t bodySize =
            m_parser->chunked() ? m_impl->options.maxBodyBytes
                                : static_cast<std::size_t>(m_parser->content_length().value_or(0));
        if (bodySize > 0) {
            if (!m_impl->reserve(bodySize)) {
                return refuse(503, "buffer cap reached");
            }
            m_bodyReserved = bodySize;
        }
        m_keepAlive = m_parser->keep_alive();
        if (m_parser->is_done()) {
            return dispatch();
        }
        if (beast::iequals(header[http::field::expect], "100-continue")) {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            lowest().expires_after(m_impl->options.writeTimeout);
            return net::async_write(m_stream, net::buffer(kContinue),
                                    [self = this->shared_from_this()](error_code ec, std::size_t) {
                                        if (ec) {
                                            return self->drop();
                                        }
                                        self->readBody();
                                    });
        }
        readBody();
    }

    void readBody()
    {
        lowest().expires_after(m_impl->options.bodyTimeout);
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = this->shared_from_this()](error_code ec, std::size_t) {
                             if (ec) {
                                 return self->failed(ec);
                             }
                             self->dispatch();
                         });
    }

    void dispatch()
    {
        // The application takes its time; no clock runs meanwhile.
        lowest().expires_never();
        auto message = m_parser->release();
        FrontRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto& field : message) {
            request.headers.emplace_back(std::string(field.name_string()),
                                         std::string(field.value()));
        }
        request.body = std::move(message.body());
        request.peerAddress = m_peer;
        const int thread = m_thread;
        const std::uint64_t id = m_impl->park(thread, this->shared_from_this());
        std::weak_ptr<FrontLink> weakLink = m_impl->link;
        HttpFront::Impl* impl = m_impl;
        net::io_context* home = impl->contexts[std::size_t(thread)].get();
        HttpFront::Respond respond = [weakLink, impl, thread, id, home](FrontResponse response) {
            if (tlContext == home) {
                // On the session's own loop, which is running, so the front
                // is whole: written now, without the link's lock.
                if (auto session = impl->unpark(thread, id)) {
                    session->answer(std::move(response));
                }
                return;
            }
            const auto link = weakLink.lock();
            if (!link) {
                return;
            }
            std::lock_guard guard(link->mutex);
            if (!link->impl) {
                return;
            }
            auto session = link->impl->unpark(thread, id);
            if (!session) {
                return;
            }
            net::post(*home, [session, response = std::move(response)]() mutable {
                session->answer(std::move(response));
            });
        };
        m_impl->handler(std::move(request), std::move(respond), m_thread);
    }

    void onWritten(error_code ec)
    {
        m_impl->release(m_bodyReserved);
        m_bodyReserved = 0;
        if (ec) {
            return drop();
        }
        if (!m_keepAliveAfter) {
            return closeGracefully();
        }
        readRequest();
    }

    void failed(error_code ec)
    {
        if (ec == http::error::body_limit) {
            return refuse(413, "body over the limit");
        }
        if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message) {
            return refuse(400, ec.message());
        }
        if (ec == http::error::buffer_overflow) {
            return refuse(400, "header over the limit");
        }
        drop();  // time-out, hang-up, reset: nobody to answer
    }

    void refuse(int status, const std::string& reason)
    {
        if (m_impl->refused) {
            m_impl->refused(status, reason);
        }
        FrontResponse response;
        response.status = status;
        response.close = true;
        response.body = status == 413   ? m_impl->refusals.tooLarge
                        : status == 503 ? m_impl->refusals.busy
                                        : m_impl->refusals.malformed;
        answer(std::move(response));
    }

    void closeGracefully()
    {
        if constexpr (kIsTls<Stream>) {
            lowest().expires_after(kDrainTime);
            m_stream.async_shutdown(
                [self = this->shared_from_this()](error_code) { self->drop(); });
        } else {
            error_code ignored;
            lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
            lowest().expires_after(kDrainTime);
            drain();
        }
    }

    void drain()
    {
        m_buffer.clear();
        m_stream.async_read_some(m_buffer.prepare(kReadChunk),
                                 [self = this->shared_from_this()](error_code ec, std::size_t n) {
                                     self->m_drained += n;
                                     if (ec || self->m_drained > kMaxDrainBytes) {
                                         return self->drop();
                                     }
                                     self->drain();
                                 });
    }

    void drop()
    {
        error_code ignored;
        lowest().socket().close(ignored);
    }

    HttpFront::Impl* m_impl;
    Stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::string m_out;  // the answer being written
    bool m_keepAliveAfter = false;
    std::string m_peer;
    const int m_thread;  // the network thread whose loop runs this session
    std::size_t m_bodyReserved = 0;
    std::size_t m_drained = 0;
    bool m_keepAlive = false;
    bool m_fresh = true;
};

}  // namespace

void HttpFront::Impl::accept(std::shared_ptr<tcp::acceptor> acceptor)
{
    // Connections are dealt round the threads: under a steady load of
    // long-lived connections that spreads the work evenly.
    const int thread = int(nextContext++ % contexts.size());
    acceptor->async_accept(*contexts[std::size_t(thread)], [this, acceptor, thread](error_code ec,
                                                                                    Socket socket) {
        if (ec == net::error::operation_aborted || !acceptor->is_open()) {
            return;
        }
        if (ec) {
            auto timer = std::make_shared<net::steady_timer>(*contexts.front(), kAcceptRetryDelay);
            timer->async_wait([this, acceptor, timer](error_code) { accept(acceptor); });
            return;
        }
        onAccepted(std::move(socket), thread);
        accept(acceptor);
    });
}

void HttpFront::Impl::run(int thread)
{
    net::io_context& context = *contexts[std::size_t(thread)];
    tlContext = &context;
    if (started) {
        started(thread);
    }
    context.run();
    if (finished) {
        finished(thread);
    }
    tlContext = nullptr;
}

void HttpFront::Impl::onAccepted(Socket socket, int thread)
{
    error_code ec;
    auto address = socket.remote_endpoint(ec).address();
    if (ec) {
        return;
    }
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
    }
    std::string peer = address.to_string();
    if (!admit(peer)) {
        if (refused) {
            refused(503, "connection cap reached");
        }
        if (!tls) {
            // Best effort, without waiting: the client learns why.
            const std::string answer =
                "HTTP/1.1 503 Service Unavailable\r\n"
                "Content-Type: application/json\r\nConnection: close\r\n"
                "Content-Length: " +
                std::to_string(refusals.busy.size()) + "\r\n\r\n" + refusals.busy;
            socket.non_blocking(true, ec);
            socket.write_some(net::buffer(answer), ec);
            socket.shutdown(tcp::socket::shutdown_both, ec);
        }
        socket.close(ec);
        return;
    }
    socket.set_option(tcp::no_delay(true), ec);
    // Made and started on the thread that will serve it: what a session
    // allocates then belongs to that thread's allocator, which the accepting
    // thread would otherwise have to share for the connection's lifetime.
    net::post(*contexts[std::size_t(thread)], [this, socket = std::move(socket),
                                               peer = std::move(peer), thread]() mutable {
        if (tls) {
            std::make_shared<Session<TlsStream>>(
                this, TlsStream(PlainStream(std::move(socket)), *tls), std::move(peer), thread)
                ->start();
        } else {
            std::make_shared<Session<PlainStream>>(this, PlainStream(std::move(socket)),
                                                   std::move(peer), thread)
                ->start();
        }
    });
}

HttpFront::HttpFront(FrontOptions options, FrontRefusals refusals, Handler handler, Refused refused)
    : m_impl(std::make_shared<Impl>())
{
    m_impl->options = options;
    m_impl->options.threads = std::max(1, options.threads);
    for (int i = 0; i < m_impl->options.threads; ++i) {
        // Each loop is run by one thread only, which spares asio its locks.
        m_impl->contexts.push_back(std::make_unique<net::io_context>(1));
        m_impl->parking.push_back(std::make_unique<Impl::Parking>());
    }
    m_impl->refusals = std::move(refusals);
    m_impl->handler = std::move(handler);
    m_impl->refused = std::move(refused);
    m_impl->link->impl = m_impl.get();
}

HttpFront::~HttpFront()
{
    stop();
}

void HttpFront::setThreadHooks(ThreadHook started, ThreadHook finished)
{
    m_impl->started = std::move(started);
    m_impl->finished = std::move(finished);
}

void HttpFront::stop()
{
    if (m_impl && !m_impl->stopped) {
        m_impl->stop();
    }
}

bool HttpFront::setupTls(const std::string& certPath, const std::string& keyPath,
                         std::string* error)
{
    try {
        ssl::context context(ssl::context::tls_server);
        context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                            ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                            ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
        context.use_certificate_chain_file(certPath);
        context.use_private_key_file(keyPath, ssl::context::pem);
        m_impl->tls.emplace(std::move(context));
    } catch (const boost::system::system_error& e) {
        *error = e.what();
        return false;
    }
    return true;
}

unsigned short HttpFront::listen(const std::string& address, unsigned short port,
                                 std::string* error)
{
    error_code ec;
    const auto ip = net::ip::make_address(address, ec);
    if (ec) {
        *error = "bad address " + address;
        return 0;
    }
    auto acceptor = std::make_shared<tcp::acceptor>(*m_impl->contexts.front());
    const tcp::endpoint endpoint(ip, port);
    acceptor->open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor->set_option(net::socket_base::reuse_address(true), ec);
        acceptor->bind(endpoint, ec);
    }
    if (!ec) {
        acceptor->listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *error = ec.message();
        return 0;
    }
    const unsigned short bound = acceptor->local_endpoint(ec).port();
    net::post(*m_impl->contexts.front(),
              [impl = m_impl.get(), acceptor] { impl->accept(acceptor); });
    if (m_impl->threads.empty()) {
        for (int i = 0; i < m_impl->options.threads; ++i) {
            m_impl->work.push_back(net::make_work_guard(*m_impl->contexts[std::size_t(i)]));
            m_impl->threads.emplace_back([impl = m_impl.get(), i] { impl->run(i); });
        }
    }
    return bound;
}
