// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/dmmlog/mqtt_publisher.h"

#include <mosquitto.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "record/json_rows.h"

namespace dmm {

namespace {

const char* StateText(MqttPublisher::LinkState state) {
    switch (state) {
        case MqttPublisher::LinkState::Online:
            return "online";
        case MqttPublisher::LinkState::Silent:
            return "silent";
        case MqttPublisher::LinkState::Reconnecting:
            return "reconnecting";
        case MqttPublisher::LinkState::Offline:
            return "offline";
    }
    return "offline";
}

// The library is set up once per process.
void InitLibrary() {
    static const int once = mosquitto_lib_init();
    static_cast<void>(once);
}

}  // namespace

std::optional<MqttTarget> ParseMqttUrl(std::string_view url, std::string& why) {
    MqttTarget t;
    std::string_view rest;
    if (url.substr(0, 7) == "mqtt://") {
        rest = url.substr(7);
    } else if (url.substr(0, 8) == "mqtts://") {
        t.tls = true;
        t.port = 8883;
        rest = url.substr(8);
    } else {
        why = "takes mqtt://HOST[:PORT]/PREFIX or mqtts://HOST[:PORT]/PREFIX";
        return std::nullopt;
    }
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos || slash + 1 >= rest.size()) {
        why = "needs a topic prefix after the host (mqtt://HOST/PREFIX)";
        return std::nullopt;
    }
    std::string_view hostPort = rest.substr(0, slash);
    std::string_view prefix = rest.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/')
        prefix.remove_suffix(1);
    if (prefix.empty() || prefix.find_first_of("+#") != std::string_view::npos) {
        why = "needs a topic prefix without + or #";
        return std::nullopt;
    }
    std::string_view port;
    if (!hostPort.empty() && hostPort.front() == '[') {  // [IPv6]:port
        const size_t close = hostPort.find(']');
        if (close == std::string_view::npos) {
            why = "has an unclosed [ in the host";
            return std::nullopt;
        }
        t.host = std::string(hostPort.substr(1, close - 1));
        if (close + 1 < hostPort.size()) {
            if (hostPort[close + 1] != ':') {
                why = "has something after the host that is not :PORT";
                return std::nullopt;
            }
            port = hostPort.substr(close + 2);
        }
    } else if (const size_t colon = hostPort.rfind(':'); colon != std::string_view::npos) {
        t.host = std::string(hostPort.substr(0, colon));
        port = hostPort.substr(colon + 1);
    } else {
        t.host = std::string(hostPort);
    }
    if (t.host.empty()) {
        why = "needs a host";
        return std::nullopt;
    }
    if (port.data() != nullptr) {
        int value = 0;
        bool ok = !port.empty() && port.size() <= 5;
        for (const char c : port) {
            ok = ok && std::isdigit(static_cast<unsigned char>(c)) != 0;
            value = value * 10 + (c - '0');
        }
        if (!ok || value < 1 || value > 65535) {
            why = "has a port that is not 1 to 65535";
            return std::nullopt;
        }
        t.port = value;
    }
    t.prefix = std::string(prefix);
    return t;
}

DiscoveryMessage DiscoveryConfig(const std::string& prefix, std::string_view siUnit) {
    // The object id: the prefix with every character but letters, digits,
    // _ and - made into _.
    std::string id = "dmmlog_";
    for (const char c : prefix)
        id += (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-') ? c : '_';
    DiscoveryMessage m;
    m.topic = "homeassistant/sensor/" + id + "/config";
    std::string& p = m.payload;
    p = "{\"name\":";
    AppendJsonString(p, "Multimeter " + prefix);
    p += ",\"unique_id\":";
    AppendJsonString(p, id);
    p += ",\"state_topic\":";
    AppendJsonString(p, prefix + "/reading");
    if (!siUnit.empty()) {
        p += ",\"unit_of_measurement\":";
        AppendJsonString(p, siUnit);
    }
    p += ",\"value_template\":\"{{ value_json.si_value }}\"";
    p += ",\"availability_topic\":";
    AppendJsonString(p, prefix + "/status");
    p += ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"}";
    return m;
}

MqttPublisher::MqttPublisher(MqttSettings settings, Say say)
    : settings_(std::move(settings)), say_(std::move(say)) {}

MqttPublisher::~MqttPublisher() {
    if (mosq_) {
        if (loopStarted_) {
            mosquitto_disconnect(mosq_);
            mosquitto_loop_stop(mosq_, true);
        }
        mosquitto_destroy(mosq_);
    }
}

std::string MqttPublisher::topic(std::string_view leaf) const {
    return settings_.target.prefix + "/" + std::string(leaf);
}

bool MqttPublisher::start(std::string& error, int timeoutMs) {
    InitLibrary();
    const MqttTarget& t = settings_.target;
    const std::string where = t.host + ":" + std::to_string(t.port);
    mosq_ = mosquitto_new(nullptr, true, this);
    if (!mosq_) {
        error = "cannot make an MQTT client";
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    // The library's own window: the rows handed plus room for the status
    // and discovery messages.
    mosquitto_max_inflight_messages_set(mosq_, kWindow + 8);
    mosquitto_reconnect_delay_set(mosq_, 1, 5, false);
    mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttPublisher::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublish);
    const std::string will = topic("status");
    mosquitto_will_set(mosq_, will.c_str(), 7, "offline", 1, true);
    if (!settings_.user.empty() &&
        mosquitto_username_pw_set(mosq_, settings_.user.c_str(), settings_.password.c_str()) !=
            MOSQ_ERR_SUCCESS) {
        error = "the MQTT user name or password is not valid UTF-8";
        return false;
    }
    if (t.tls) {
        const int rc = settings_.caFile.empty()
                           ? mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                           : mosquitto_tls_set(mosq_, settings_.caFile.c_str(), nullptr, nullptr,
                                               nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot set up TLS for the MQTT broker: " + std::string(mosquitto_strerror(rc));
            return false;
        }
    }
    const int rc = mosquitto_connect(mosq_, t.host.c_str(), t.port, 30);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = "cannot reach the MQTT broker at " + where + ": " +
                (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno))
                                      : std::string(mosquitto_strerror(rc)));
        return false;
    }
    if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
        error = "cannot start the MQTT client's thread";
        return false;
    }
    loopStarted_ = true;
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return answered_; })) {
        error = "the MQTT broker at " + where + " did not answer within " +
                std::to_string(timeoutMs / 1000) + " s";
        return false;
    }
    if (connackCode_ != 0) {
        error = "the MQTT broker at " + where + " refused the connection: " +
                (connackCode_ < 0 ? std::string("the connection was closed")
                                  : std::string(mosquitto_connack_string(connackCode_)));
        return false;
    }
    return true;
}

void MqttPublisher::OnConnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(p->mutex_);
    if (!p->answered_) {
        // The first answer is start()'s to tell.
        p->answered_ = true;
        p->connackCode_ = rc;
        p->refusedTold_ = rc != 0;
        p->changed_.notify_all();
    }
    if (rc != 0) {
        if (!p->refusedTold_ && p->say_)
            p->say_(std::string("the MQTT broker refused the connection: ") +
                    mosquitto_connack_string(rc));
        p->refusedTold_ = true;
        return;
    }
    p->refusedTold_ = false;
    p->connected_ = true;
    // The library sends its unacknowledged rows again after this call; newer
    // rows wait until those are through, so that the order holds.
    p->resending_ = p->unacked_ > 0;
    p->reportDropsLocked();
    // Said again at every connection: a broker without persistence forgets
    // retained messages when it restarts.
    p->publishStatusLocked(true);
    p->publishDiscoveryLocked();
    p->pumpLocked();
    p->changed_.notify_all();
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(p->mutex_);
    const bool was = p->connected_;
    p->connected_ = false;
    if (!p->answered_) {
        p->answered_ = true;
        p->changed_.notify_all();
    }
    if (was && rc != 0 && p->say_)
        p->say_("the MQTT broker went away; rows wait for it (at most " +
                std::to_string(p->settings_.queueLimit) + ")");
    p->changed_.notify_all();
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int mid) {
    auto* p = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(p->mutex_);
    if (p->statusMid_ && *p->statusMid_ == mid) {
        p->statusMid_.reset();
        p->publishStatusLocked();  // the state may have moved on meanwhile
    } else if (p->rowMids_.erase(mid) > 0) {
        --p->unacked_;
        ++p->acknowledged_;
        if (p->unacked_ == 0)
            p->resending_ = false;
        p->pumpLocked();
    }
    p->changed_.notify_all();
}

void MqttPublisher::pumpLocked() {
    if (!connected_ || resending_)
        return;
    const std::string reading = topic("reading");
    while (!waiting_.empty() && unacked_ < kWindow) {
        const std::string& row = waiting_.front();
        int mid = 0;
        const int rc =
            mosquitto_publish(mosq_, &mid, reading.c_str(), int(row.size()), row.data(), 1, false);
        if (rc != MOSQ_ERR_SUCCESS)
            return;  // the row stays first in the queue; a reconnection pumps again
        rowMids_.insert(mid);
        ++unacked_;
        waiting_.pop_front();
    }
}

// One status message at a time: the library sends an unacknowledged one
// again after a reconnection, and a newer state must not be overtaken by it.
void MqttPublisher::publishStatusLocked(bool always) {
    if (!connected_ || statusMid_ || (!always && statusSent_ == state_))
        return;
    int mid = 0;
    const char* text = StateText(state_);
    const std::string status = topic("status");
    if (mosquitto_publish(mosq_, &mid, status.c_str(), int(std::char_traits<char>::length(text)),
                          text, 1, true) == MOSQ_ERR_SUCCESS) {
        statusMid_ = mid;
        statusSent_ = state_;
    }
}

void MqttPublisher::publishDiscoveryLocked() {
    if (!settings_.discovery || !unitKnown_ || !connected_)
        return;
    const DiscoveryMessage m = DiscoveryConfig(settings_.target.prefix, unit_);
    mosquitto_publish(mosq_, nullptr, m.topic.c_str(), int(m.payload.size()), m.payload.data(), 1,
                      true);
}

void MqttPublisher::reportDropsLocked() {
    if (dropped_ == droppedTold_ || !say_)
        return;
    say_(std::to_string(dropped_ - droppedTold_) +
         " rows for the MQTT broker were dropped, the oldest first: it was away or slower than "
         "the meter, and the queue holds " +
         std::to_string(settings_.queueLimit) + " rows)");
    droppedTold_ = dropped_;
}

void MqttPublisher::publishRow(std::string_view json, std::string_view siUnit) {
    std::lock_guard lock(mutex_);
    if (settings_.discovery && (!unitKnown_ || unit_ != siUnit)) {
        unit_ = std::string(siUnit);
        unitKnown_ = true;
        publishDiscoveryLocked();
    }
    if (waiting_.size() >= settings_.queueLimit && !waiting_.empty()) {
        waiting_.pop_front();
        ++dropped_;
    }
    waiting_.emplace_back(json);
    pumpLocked();
}

void MqttPublisher::setLinkState(LinkState state) {
    std::lock_guard lock(mutex_);
    if (state == state_)
        return;
    state_ = state;
    publishStatusLocked();
}

size_t MqttPublisher::finish(int idleTimeoutMs) {
    if (!loopStarted_)
        return 0;
    std::unique_lock lock(mutex_);
    // As long as rows go out (or the broker may yet come back), wait.
    uint64_t lastAcked = acknowledged_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(idleTimeoutMs);
    while (!waiting_.empty() || unacked_ > 0) {
        changed_.wait_until(lock, deadline);
        if (acknowledged_ != lastAcked) {
            lastAcked = acknowledged_;
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(idleTimeoutMs);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    reportDropsLocked();
    const size_t lost = waiting_.size() + unacked_;
    state_ = LinkState::Offline;
    publishStatusLocked();
    changed_.wait_for(lock, std::chrono::seconds(5), [this] {
        return !connected_ || (!statusMid_ && statusSent_ == LinkState::Offline);
    });
    lock.unlock();
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    loopStarted_ = false;
    return lost;
}

uint64_t MqttPublisher::rowsAcknowledged() const {
    std::lock_guard lock(mutex_);
    return acknowledged_;
}

uint64_t MqttPublisher::rowsDropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

}  // namespace dmm
