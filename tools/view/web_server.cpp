#include "web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include <civetweb.h>

#include "resources.h"

namespace orvane {
namespace tool {
namespace {

constexpr long long kMaxBody = 64 * 1024;  // settings and commands are small JSON documents
constexpr const char* kThreeFile = "/build/three.min.js";
constexpr const char* kOrbitFile = "/examples/js/controls/OrbitControls.js";

const char* reasonOf(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Payload Too Large";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

// A port on `address` that nothing listens on now.
int freePort(const std::string& address) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t length = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

}  // namespace

std::string findThreeJs() {
    // Debian's libjs-three installs below share/javascript/three of its prefix.
    for (const char* prefix : {"/usr/local", "/usr"}) {
        const std::string dir = std::string(prefix) + "/share/javascript/three";
        if (std::ifstream(dir + kThreeFile) && std::ifstream(dir + kOrbitFile)) return dir;
    }
    return std::string();
}

const WebResource* findWebResource(const std::string& path) {
    const std::string wanted = path == "/" ? "/index.html" : path;
    for (size_t i = 0; i < kWebResourceCount; ++i)
        if (wanted == kWebResources[i].path) return &kWebResources[i];
    return nullptr;
}

void sendResponse(mg_connection* c, int status, const char* mime, const std::string& body) {
    mg_printf(c,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n",
              status, reasonOf(status), mime, body.size());
    mg_write(c, body.data(), body.size());
}

WebServer::WebServer(Api api, std::string three_dir, std::function<void()> on_ready)
    : api_(std::move(api)), three_dir_(std::move(three_dir)), on_ready_(std::move(on_ready)) {}

WebServer::~WebServer() {
    stop();
}

bool WebServer::start(const std::string& address, int port, std::string* error) {
    if (!three_dir_.empty() &&
        (!readFile(three_dir_ + kThreeFile, three_js_) || !readFile(three_dir_ + kOrbitFile, orbit_js_)))
        three_js_.clear();
    if (port == 0) port = freePort(address);
    if (port <= 0) {
        *error = "no free port on " + address;
        return false;
    }
    guard_ = std::make_unique<RequestGuard>(address, port);
    const std::string listen = address + ":" + std::to_string(port);
    // Every open page holds one thread for its WebSocket; a few more serve the API.
    const char* options[] = {
        "listening_ports", listen.c_str(),         "num_threads", "8",    "request_timeout_ms",
        "10000",           "websocket_timeout_ms", "86400000",    nullptr};
    mg_callbacks callbacks{};
    mg_init_library(0);
    context_ = mg_start(&callbacks, this, options);
    if (!context_) {
        mg_exit_library();
        *error = "cannot listen on " + listen + " (in use, or not an address of this machine)";
        return false;
    }
    mg_set_request_handler(context_, "/", &WebServer::onRequest, this);
    mg_set_websocket_handler(context_, "/ws", &WebServer::onWsConnect, &WebServer::onWsReady,
                             &WebServer::onWsData, &WebServer::onWsClose, this);
    return true;
}

void WebServer::stop() {
    if (!context_) return;
    mg_stop(context_);  // returns once every handler has returned and every connection is closed
    context_ = nullptr;
    mg_exit_library();
    std::lock_guard<std::mutex> lock(clients_mutex_);
    clients_.clear();
    latest_.reset();
}

void WebServer::broadcast(const std::string& message) {
    auto latest = std::make_shared<const std::string>(message);
    std::lock_guard<std::mutex> lock(clients_mutex_);
    latest_ = std::move(latest);
    ++latest_number_;
    for (Client& client : clients_)
        if (!client.busy) sendLatest(client);
}

void WebServer::sendLatest(Client& client) {
    if (!latest_ || client.last_sent == latest_number_) return;
    client.busy = true;
    client.last_sent = latest_number_;
    if (mg_websocket_write(client.connection, MG_WEBSOCKET_OPCODE_BINARY, latest_->data(), latest_->size()) >
        0)
        ++sent_;
}

size_t WebServer::clients() const {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    return clients_.size();
}

bool WebServer::wantsFrame() const {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    return std::any_of(clients_.begin(), clients_.end(), [](const Client& c) { return !c.busy; });
}

int WebServer::onRequest(mg_connection* c, void* self) {
    return static_cast<WebServer*>(self)->serve(c);
}

int WebServer::onWsConnect(const mg_connection* c, void* self) {
    const auto* server = static_cast<WebServer*>(self);
    if (server->guard_->allows(mg_get_header(c, "Host"), mg_get_header(c, "Origin"))) return 0;
    // Non-zero refuses the upgrade and closes the connection; the answer says why first.
    sendResponse(const_cast<mg_connection*>(c), 403, "text/plain", "request not addressed to this viewer\n");
    return 1;
}

void WebServer::onWsReady(mg_connection* c, void* self) {
    auto* server = static_cast<WebServer*>(self);
    {
        std::lock_guard<std::mutex> lock(server->clients_mutex_);
        server->clients_.push_back({c, false, server->latest_number_});
    }
    if (server->on_ready_) server->on_ready_();
}

int WebServer::onWsData(mg_connection* c, int bits, char* data, size_t length, void* self) {
    auto* server = static_cast<WebServer*>(self);
    const int opcode = bits & 0x0f;
    if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
    // The page sends "ready" when it has shown a frame and can take the next.
    if (opcode == MG_WEBSOCKET_OPCODE_TEXT && length == 5 && std::memcmp(data, "ready", 5) == 0) {
        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(server->clients_mutex_);
            for (Client& client : server->clients_) {
                if (client.connection != c) continue;
                client.busy = false;
                server->sendLatest(client);  // a newer frame may have been encoded meanwhile
                idle = !client.busy;
            }
        }
        if (idle && server->on_ready_) server->on_ready_();  // outside the lock: it wakes the encoder
    }
    return 1;
}

void WebServer::onWsClose(const mg_connection* c, void* self) {
    auto* server = static_cast<WebServer*>(self);
    std::lock_guard<std::mutex> lock(server->clients_mutex_);
    auto& list = server->clients_;
    list.erase(std::remove_if(list.begin(), list.end(), [c](const Client& x) { return x.connection == c; }),
               list.end());
}

void WebServer::serveFile(mg_connection* c, const char* mime, const void* data, size_t size, bool head) {
    mg_printf(c,
              "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-cache\r\n"
              "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n",
              mime, size);
    if (!head) mg_write(c, data, size);
}

int WebServer::serve(mg_connection* c) {
    const mg_request_info* info = mg_get_request_info(c);
    if (!guard_->allows(mg_get_header(c, "Host"), mg_get_header(c, "Origin"))) {
        sendResponse(c, 403, "text/plain", "request not addressed to this viewer\n");
        return 403;
    }
    const std::string method = info->request_method ? info->request_method : "";
    const std::string path = info->local_uri ? info->local_uri : "";
    if (path.compare(0, 5, "/api/") == 0) {
        ApiRequest request{method, path, info->query_string ? info->query_string : "", ""};
        if (info->content_length > kMaxBody) {
            sendResponse(c, 413, "application/json", "{\"error\":\"request too large\"}");
            return 413;
        }
        char buffer[4096];
        int n;
        while (request.body.size() <= static_cast<size_t>(kMaxBody) &&
               (n = mg_read(c, buffer, sizeof buffer)) > 0)
            request.body.append(buffer, static_cast<size_t>(n));
        ApiResponse response;
        try {
            response = api_(request);
        } catch (const std::exception&) {
            // No exception may unwind through civetweb's C frames.
            response = {500, "{\"ok\":false,\"error\":\"internal error\"}"};
        }
        sendResponse(c, response.status, "application/json", response.body);
        return response.status;
    }
    const bool head = method == "HEAD";
    if (method != "GET" && !head) {
        sendResponse(c, 405, "text/plain", "method not allowed\n");
        return 405;
    }
    if (path == "/lib/three.min.js" || path == "/lib/OrbitControls.js") {
        if (three_js_.empty()) {
            sendResponse(c, 404, "text/plain", "three.js is not installed (Debian package libjs-three)\n");
            return 404;
        }
        const std::string& text = path == "/lib/three.min.js" ? three_js_ : orbit_js_;
        serveFile(c, "text/javascript; charset=utf-8", text.data(), text.size(), head);
        return 200;
    }
    if (const WebResource* resource = findWebResource(path)) {
        serveFile(c, resource->mime, resource->data, resource->size, head);
        return 200;
    }
    sendResponse(c, 404, "text/plain", "not found\n");
    return 404;
}

}  // namespace tool
}  // namespace orvane
