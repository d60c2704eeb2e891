// The viewer's HTTP and WebSocket server (civetweb): the embedded page, three.js from its installed
// place, the JSON API, and the live frames on "/ws". It listens on one address only and answers only
// requests addressed to it (see RequestGuard).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "request_guard.h"

struct mg_context;
struct mg_connection;

namespace orvane {
namespace tool {

struct ApiRequest {
    std::string method;
    std::string path;   // "/api/settings"
    std::string query;  // "x=3&y=4"
    std::string body;
};

struct ApiResponse {
    int status = 200;
    std::string body;  // JSON
};

// The first directory with three.js that a Debian libjs-three installation provides, or empty.
std::string findThreeJs();

class WebServer {
  public:
    using Api = std::function<ApiResponse(const ApiRequest&)>;
    // `on_ready` runs (on a server thread, no lock held) when a page can take a frame it has not seen.
    WebServer(Api api, std::string three_dir, std::function<void()> on_ready = nullptr);
    ~WebServer();  // stop()
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Listens on address:port (port 0: a free one). False with a message.
    bool start(const std::string& address, int port, std::string* error);
    // Closes every connection and waits for the handlers to end.
    void stop();
    std::string url() const { return guard_ ? guard_->pageUrl() : std::string(); }

    // Sends a binary message to every page that has taken in the previous one. A page still busy gets
    // only the newest message once it is ready, so no page builds up a backlog or waits for a fresh one.
    void broadcast(const std::string& message);
    size_t clients() const;
    // True when some page has shown the newest message and waits for the next.
    bool wantsFrame() const;
    // Messages sent to pages so far (one per page per frame shown).
    uint64_t sent() const { return sent_.load(); }

  private:
    struct Client {
        mg_connection* connection;
        bool busy;           // a frame was sent and the page has not acknowledged it yet
        uint64_t last_sent;  // number of the newest message it got
    };
    void sendLatest(Client& client);  // with clients_mutex_ held
    static int onRequest(mg_connection* c, void* self);
    static int onWsConnect(const mg_connection* c, void* self);
    static void onWsReady(mg_connection* c, void* self);
    static int onWsData(mg_connection* c, int bits, char* data, size_t length, void* self);
    static void onWsClose(const mg_connection* c, void* self);
    int serve(mg_connection* c);
    void serveFile(mg_connection* c, const char* mime, const void* data, size_t size, bool head);

    Api api_;
    std::string three_dir_;
    std::function<void()> on_ready_;
    std::string three_js_, orbit_js_;
    std::unique_ptr<RequestGuard> guard_;  // set before the server starts
    mg_context* context_ = nullptr;
    mutable std::mutex clients_mutex_;
    std::vector<Client> clients_;
    std::shared_ptr<const std::string> latest_;  // the newest message, number latest_number_
    uint64_t latest_number_ = 0;
    std::atomic<uint64_t> sent_{0};
};

// Sends a complete HTTP response with the given status and body.
void sendResponse(mg_connection* c, int status, const char* mime, const std::string& body);

}  // namespace tool
}  // namespace orvane
