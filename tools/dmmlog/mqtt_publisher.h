// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// dmmlog's MQTT output, through libmosquitto and its own network thread.
// Every recorded row goes to PREFIX/reading (QoS 1) as one JSON object; the
// link's state goes to PREFIX/status, retained, with "offline" as the last
// will. The broker must answer at the start (a broker that cannot be reached
// or refuses the login is an error then); later it may come and go: rows wait
// in order in a bounded queue and are sent when it is back. At most
// kWindow rows are with the library unacknowledged; the library keeps them
// across a lost connection and sends them again, in order, before any newer
// row, so every row reaches the broker at least once and in order (a row
// sent again around a broker restart can arrive twice, unchanged).

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

struct mosquitto;

namespace dmm {

// Where --mqtt points: mqtt://HOST[:PORT]/PREFIX or mqtts://...
struct MqttTarget {
    bool tls = false;
    std::string host;
    int port = 1883;
    std::string prefix;  // the topics' common start, without a trailing /
};

// The URL taken apart; nullopt with the reason in why when it is not one.
std::optional<MqttTarget> ParseMqttUrl(std::string_view url, std::string& why);

struct MqttSettings {
    MqttTarget target;
    std::string caFile;  // mqtts: the CA certificates; empty: the system's
    std::string user;    // empty: no login
    std::string password;
    size_t queueLimit = 100000;  // rows waiting for the broker at most
    bool discovery = false;      // publish the sensor's discovery configuration
};

// The discovery configuration for the common MQTT discovery convention: the
// topic and the retained JSON payload that make a home-automation system
// show the meter as a sensor in siUnit (empty: a unitless sensor).
struct DiscoveryMessage {
    std::string topic, payload;
};
DiscoveryMessage DiscoveryConfig(const std::string& prefix, std::string_view siUnit);

class MqttPublisher {
  public:
    enum class LinkState { Online, Silent, Reconnecting, Offline };
    // Rows handed to the library and not yet acknowledged, at most.
    static constexpr size_t kWindow = 256;

    // Messages for the user (possibly from the network thread).
    using Say = std::function<void(const std::string& message)>;
    MqttPublisher(MqttSettings settings, Say say);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Connects and waits up to timeoutMs for the broker's answer; false with
    // the reason when it cannot be reached or refuses the login.
    bool start(std::string& error, int timeoutMs = 10000);

    // Queues one row (its JSON object, without a line end) for PREFIX/reading.
    // siUnit is the row's unit for the discovery configuration.
    void publishRow(std::string_view json, std::string_view siUnit);
    // The link's state, retained on PREFIX/status.
    void setLinkState(LinkState state);

    // Sends what waits, waiting as long as the broker takes rows (or comes
    // back) within idleTimeoutMs, then says "offline" and disconnects.
    // Returns the rows that never reached the broker.
    size_t finish(int idleTimeoutMs = 10000);

    // Rows the broker has acknowledged; rows dropped for the queue's limit.
    uint64_t rowsAcknowledged() const;
    uint64_t rowsDropped() const;

  private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    // Hands waiting rows to the library while the window has room; the lock
    // is held.
    void pumpLocked();
    void publishStatusLocked(bool always = false);
    void publishDiscoveryLocked();
    void reportDropsLocked();
    std::string topic(std::string_view leaf) const;

    MqttSettings settings_;
    Say say_;
    mosquitto* mosq_ = nullptr;
    bool loopStarted_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> waiting_;  // rows not yet handed to the library
    size_t unacked_ = 0;               // rows handed and not yet acknowledged
    bool connected_ = false;
    bool answered_ = false;  // the first CONNACK (or a failure) came
    int connackCode_ = -1;
    bool resending_ = false;  // after a reconnect, until the library's own rows are through
    bool refusedTold_ = false;
    uint64_t acknowledged_ = 0;
    uint64_t dropped_ = 0, droppedTold_ = 0;
    std::unordered_set<int> rowMids_;  // message ids of the rows handed
    std::optional<int> statusMid_;     // the status message not yet acknowledged
    LinkState state_ = LinkState::Online;
    std::optional<LinkState> statusSent_;
    std::string unit_;  // the unit of the last discovery configuration
    bool unitKnown_ = false;
};

}  // namespace dmm
