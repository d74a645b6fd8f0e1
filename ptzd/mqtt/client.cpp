#include "mqtt/client.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <arpa/inet.h>
#include <condition_variable>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <unistd.h>

#include "infra/log.h"

namespace ptzd::mqtt {

using Clock = std::chrono::steady_clock;

namespace {

struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

void Once() { static Library library; }

// The connection's state as the loop and the library's callbacks (on the
// same thread) share it.
struct Session {
    Client* client = nullptr;
    bool up = false;     // CONNACK with success
    bool lost = false;   // the connection ended (or never came up)
    std::string refused; // why the broker refused the connection
};

}  // namespace

std::string TopicLevel(const std::string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '_';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool Matches(const std::string& filter, const std::string& topic) {
    bool result = false;
    return mosquitto_topic_matches_sub(filter.c_str(), topic.c_str(), &result) == MOSQ_ERR_SUCCESS && result;
}

Client::Client(MqttConfig config, std::string clientId, std::string password, Outgoing will,
               std::vector<Subscription> subscriptions, Hooks hooks)
    : config_(std::move(config)), clientId_(std::move(clientId)), password_(std::move(password)), will_(std::move(will)),
      subscriptions_(std::move(subscriptions)), hooks_(std::move(hooks)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    Once();
}

Client::~Client() {
    Stop(std::nullopt, Clock::now());
    if (wake_ >= 0) ::close(wake_);
}

void Client::Start() { thread_ = std::thread([this] { Loop(); }); }

void Client::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void Client::Stop(std::optional<Outgoing> last, Clock::time_point deadline) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !thread_.joinable()) return;
        stopping_ = true;
        last_ = std::move(last);
        deadline_ = deadline;
    }
    Wake();
    if (thread_.joinable()) thread_.join();
}

bool Client::Publish(Outgoing message) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        if (queue_.size() >= kMaxQueue) {
            ++dropped_;
            return false;
        }
        queue_.push_back(std::move(message));
    }
    Wake();
    return true;
}

bool Client::Connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

uint64_t Client::Dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

uint64_t Client::Connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

namespace {

bool Numeric(const std::string& host) {
    in6_addr any{};
    return inet_pton(AF_INET, host.c_str(), &any) == 1 || inet_pton(AF_INET6, host.c_str(), &any) == 1;
}

int Send(mosquitto* m, const Outgoing& o, bool v5) {
    mosquitto_property* props = nullptr;
    if (v5 && o.correlation)
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, o.correlation->data(),
                                      static_cast<uint16_t>(std::min<size_t>(o.correlation->size(), 65535)));
    if (v5 && o.expiry) mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, *o.expiry);
    const int rc = mosquitto_publish_v5(m, nullptr, o.topic.c_str(), static_cast<int>(o.payload.size()), o.payload.data(),
                                        o.qos, o.retain, props);
    mosquitto_property_free_all(&props);
    return rc;
}

}  // namespace

bool Client::Resolves(const std::string& host, std::chrono::milliseconds within) {
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false, found = false;
    };
    auto lookup = std::make_shared<Lookup>();
    // Detached: a look-up that never ends is left to itself.
    std::thread([lookup, host] {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        const bool found = getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0;
        if (list) freeaddrinfo(list);
        std::lock_guard lock(lookup->mutex);
        lookup->finished = true;
        lookup->found = found;
        lookup->done.notify_all();
    }).detach();
    const auto until = Clock::now() + within;
    std::unique_lock lock(lookup->mutex);
    while (!lookup->finished && Clock::now() < until) {
        lookup->done.wait_for(lock, std::chrono::milliseconds(100));
        std::lock_guard stop(mutex_);
        if (stopping_) return false;
    }
    return lookup->finished && lookup->found;
}

void Client::Loop() {
    Session session;
    session.client = this;
    mosquitto* m = mosquitto_new(clientId_.c_str(), true, &session);
    if (m == nullptr) {
        Log(Level::Error, "mqtt: cannot create a client: " + std::string(std::strerror(errno)));
        return;
    }
    const bool v5 = config_.protocol == 5;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    if (!config_.user.empty()) mosquitto_username_pw_set(m, config_.user.c_str(), password_.empty() ? nullptr : password_.c_str());
    if (config_.tls) {
        const int rc = mosquitto_tls_set(m, config_.caFile.empty() ? nullptr : config_.caFile.c_str(),
                                         config_.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                                         config_.certFile.empty() ? nullptr : config_.certFile.c_str(),
                                         config_.keyFile.empty() ? nullptr : config_.keyFile.c_str(), nullptr);
        const int opts = rc == MOSQ_ERR_SUCCESS ? mosquitto_tls_opts_set(m, 1, nullptr, nullptr) : rc;  // verify the broker
        if (rc != MOSQ_ERR_SUCCESS || opts != MOSQ_ERR_SUCCESS) {
            // Never in clear what was meant to be secret.
            Log(Level::Error, std::string("mqtt: TLS settings refused (") + mosquitto_strerror(rc != MOSQ_ERR_SUCCESS ? rc : opts) +
                                  "); not connecting");
            mosquitto_destroy(m);
            return;
        }
    }
    mosquitto_will_set_v5(m, will_.topic.c_str(), static_cast<int>(will_.payload.size()), will_.payload.data(), will_.qos,
                          will_.retain, nullptr);
    mosquitto_connect_v5_callback_set(m, [](mosquitto* mosq, void* obj, int rc, int, const mosquitto_property*) {
        auto* s = static_cast<Session*>(obj);
        if (rc != 0) {
            s->refused = mosquitto_reason_string(rc);
            s->lost = true;
            return;
        }
        s->up = true;
        Client* c = s->client;
        for (const Subscription& sub : c->subscriptions_) {
            int options = 0;
            if (c->V5()) {
                options = MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_RETAIN_AS_PUBLISHED;
                if (!sub.retained) options |= MQTT_SUB_OPT_SEND_RETAIN_NEVER;
            }
            mosquitto_subscribe_v5(mosq, nullptr, sub.filter.c_str(), sub.qos, options, nullptr);
        }
        {
            std::lock_guard lock(c->mutex_);
            c->connected_ = true;
            ++c->connections_;
        }
        if (c->hooks_.connected) {
            try {
                c->hooks_.connected();
            } catch (const std::exception& e) {
                Log(Level::Error, std::string("mqtt: after connecting: ") + e.what());
            }
        }
    });
    mosquitto_subscribe_v5_callback_set(m, [](mosquitto*, void*, int, int count, const int* granted, const mosquitto_property*) {
        for (int i = 0; i < count; ++i)
            if (granted[i] >= 0x80)
                Log(Level::Error, "mqtt: the broker refused a subscription (reason " + std::to_string(granted[i]) +
                                      "): check its ACL; commands on it are not heard");
    });
    mosquitto_disconnect_v5_callback_set(m, [](mosquitto*, void* obj, int reason, const mosquitto_property*) {
        auto* s = static_cast<Session*>(obj);
        s->lost = true;
        // Two gateways of one name take each other's session in turns.
        if (reason == MQTT_RC_SESSION_TAKEN_OVER) s->refused = "another client connected with this client id (a second gateway of the same name?)";
    });
    mosquitto_message_v5_callback_set(m, [](mosquitto*, void* obj, const mosquitto_message* msg, const mosquitto_property* props) {
        auto* s = static_cast<Session*>(obj);
        Incoming in;
        in.topic = msg->topic ? msg->topic : "";
        in.payload.assign(static_cast<const char*>(msg->payload), static_cast<size_t>(std::max(0, msg->payloadlen)));
        in.retained = msg->retain;
        char* text = nullptr;
        if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &text, false)) {
            in.responseTopic = text;
            std::free(text);
        }
        void* bytes = nullptr;
        uint16_t length = 0;
        if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &bytes, &length, false)) {
            in.correlation = std::string(static_cast<const char*>(bytes), length);
            std::free(bytes);
        }
        uint32_t expiry = 0;
        if (mosquitto_property_read_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false)) in.expiry = expiry;
        // Nothing a client sends may throw through the library's C frames.
        if (s->client->hooks_.message) {
            try {
                s->client->hooks_.message(in);
            } catch (const std::exception& e) {
                Log(Level::Warn, "mqtt: a message on " + in.topic + " could not be taken: " + e.what());
            }
        }
    });

    const std::string where = config_.host + ":" + std::to_string(config_.port);
    std::mt19937 random(std::random_device{}());
    auto backoff = kFirstRetry;
    auto nextTry = Clock::now();
    bool socketOpen = false;
    std::string lastComplaint;
    auto lose = [&](const std::string& why) {
        if (socketOpen) mosquitto_disconnect(m);
        socketOpen = false;
        const bool wasUp = session.up;
        session = Session();
        session.client = this;
        {
            std::lock_guard lock(mutex_);
            connected_ = false;
            queue_.clear();  // what is owed is published again on the next connection
        }
        if (wasUp || why != lastComplaint) Log(Level::Warn, "mqtt: " + where + ": " + why + "; trying again");
        lastComplaint = why;
        // Back off, with jitter, up to kMostRetry.
        nextTry = Clock::now() + backoff / 2 + std::chrono::milliseconds(random() % (backoff.count() / 2 + 1));
        backoff = wasUp ? kFirstRetry : std::min(kMostRetry, backoff * 2);
    };

    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        const auto now = Clock::now();
        if (!socketOpen && now >= nextTry) {
            // A broker named by a host name: the name is looked up on a
            // thread of its own first, so a resolver that does not answer
            // holds up neither this loop nor the stop (the library's own
            // look-up then finds it answered just now).
            if (!Numeric(config_.host) && !Resolves(config_.host, std::chrono::seconds(2))) {
                lose("cannot resolve " + config_.host);
                continue;
            }
            {
                std::lock_guard lock(mutex_);
                if (stopping_) break;
            }
            const int rc = mosquitto_connect_bind_async(m, config_.host.c_str(), config_.port, config_.keepalive, nullptr);
            if (rc == MOSQ_ERR_SUCCESS) {
                socketOpen = true;
            } else {
                lose(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
                continue;
            }
        }
        // Queued messages go out once connected, and only as fast as the
        // socket drains (the library's own queue is not bounded).
        if (session.up && !mosquitto_want_write(m)) {
            std::deque<Outgoing> batch;
            {
                std::lock_guard lock(mutex_);
                const size_t n = std::min<size_t>(queue_.size(), 256);
                batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.begin() + static_cast<long>(n)));
                queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(n));
            }
            uint64_t failed = 0;
            for (const Outgoing& o : batch)
                if (Send(m, o, v5) != MOSQ_ERR_SUCCESS) ++failed;
            if (failed) {
                std::lock_guard lock(mutex_);
                dropped_ += failed;
            }
        }
        pollfd fds[2] = {{wake_, POLLIN, 0}, {-1, 0, 0}};
        const int sock = socketOpen ? mosquitto_socket(m) : -1;
        if (sock >= 0) fds[1] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
        const auto wait = socketOpen ? std::chrono::milliseconds(1000)
                                     : std::chrono::ceil<std::chrono::milliseconds>(std::max(nextTry - now, Clock::duration(0)));
        if (::poll(fds, sock >= 0 ? 2 : 1, static_cast<int>(std::clamp<int64_t>(wait.count(), 1, 1000))) < 0 && errno != EINTR) break;
        if (fds[0].revents) {
            uint64_t n = 0;
            [[maybe_unused]] const ssize_t r = ::read(wake_, &n, sizeof n);
        }
        if (!socketOpen) continue;
        int rc = MOSQ_ERR_SUCCESS;
        if (sock >= 0 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) rc = mosquitto_loop_read(m, 1);
        if (rc == MOSQ_ERR_SUCCESS && sock >= 0 && (fds[1].revents & POLLOUT)) rc = mosquitto_loop_write(m, 1);
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(m);
        if (rc != MOSQ_ERR_SUCCESS || session.lost || mosquitto_socket(m) < 0) {
            lose(!session.refused.empty() ? "refused: " + session.refused
                 : rc == MOSQ_ERR_ERRNO   ? std::string(std::strerror(errno))
                 : rc != MOSQ_ERR_SUCCESS ? std::string(mosquitto_strerror(rc))
                                          : "connection lost");
        } else if (session.up) {
            backoff = kFirstRetry;
        }
    }

    // The last word (retained "offline": a clean disconnect sends no will),
    // then a clean disconnect, all before the deadline.
    std::optional<Outgoing> last;
    Clock::time_point deadline;
    {
        std::lock_guard lock(mutex_);
        last = last_;
        deadline = deadline_;
    }
    if (session.up && socketOpen) {
        if (last) Send(m, *last, v5);
        mosquitto_disconnect_v5(m, 0, nullptr);
        while (Clock::now() < deadline && mosquitto_want_write(m) && mosquitto_socket(m) >= 0) {
            pollfd fd{mosquitto_socket(m), POLLOUT, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (::poll(&fd, 1, static_cast<int>(std::clamp<int64_t>(left, 1, 1000))) <= 0) break;
            if (mosquitto_loop_write(m, 1) != MOSQ_ERR_SUCCESS) break;
        }
    }
    {
        std::lock_guard lock(mutex_);
        connected_ = false;
    }
    mosquitto_destroy(m);
}

}  // namespace ptzd::mqtt
