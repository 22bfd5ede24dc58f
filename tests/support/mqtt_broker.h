// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A real MQTT broker for tests and benchmarks: mosquitto on 127.0.0.1 at a
// free port, with a configuration and a persistence folder of its own in a
// temporary folder (never any other address), and a subscriber that keeps
// every message it is sent, across broker restarts (a persistent session at
// QoS 1).

#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace dmm::test {

// Polls the condition until it holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

inline bool PortAccepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// A port nobody listens on now, chosen by the system.
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

class MqttBroker {
  public:
    // With a user, anonymous clients are refused and only USER:PASSWORD may
    // log in.
    explicit MqttBroker(const QString& user = {}, const QString& password = {})
        : port_(FreePort()) {
        QString conf = QStringLiteral("listener %1 127.0.0.1\n").arg(port_);
        conf += QStringLiteral("persistence true\npersistence_location %1/\n").arg(dir_.path());
        // A subscriber that falls behind is sent every message, late.
        conf += QStringLiteral("max_queued_messages 0\n");
        conf += QStringLiteral("autosave_interval 1\nlog_dest file %1/mosquitto.log\n")
                    .arg(dir_.path());
        // The broker stays the user that starts it (as root it would change
        // to its own user, who cannot use this folder).
        if (const passwd* pw = ::getpwuid(::geteuid()))
            conf += QStringLiteral("user %1\n").arg(QString::fromLocal8Bit(pw->pw_name));
        if (user.isEmpty()) {
            conf += QStringLiteral("allow_anonymous true\n");
        } else {
            const QString file = dir_.filePath(QStringLiteral("passwords"));
            QProcess::execute(QStringLiteral("mosquitto_passwd"),
                              {QStringLiteral("-b"), QStringLiteral("-c"), file, user, password});
            conf += QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(file);
        }
        QFile f(dir_.filePath(QStringLiteral("mosquitto.conf")));
        if (f.open(QIODevice::WriteOnly))
            f.write(conf.toUtf8());
    }
    ~MqttBroker() { stop(); }
    MqttBroker(const MqttBroker&) = delete;
    MqttBroker& operator=(const MqttBroker&) = delete;

    static bool available() {
        return !QStandardPaths::findExecutable(QStringLiteral("mosquitto")).isEmpty() ||
               QFile::exists(QStringLiteral("/usr/sbin/mosquitto"));
    }
    int port() const { return port_; }
    QString url(const QString& prefix) const {
        return QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(port_).arg(prefix);
    }

    // Starts the broker and waits until its port accepts.
    bool start(int timeoutMs = 30000) {
        QString program = QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
        if (program.isEmpty())
            program = QStringLiteral("/usr/sbin/mosquitto");
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.start(program,
                       {QStringLiteral("-c"), dir_.filePath(QStringLiteral("mosquitto.conf"))});
        if (!process_.waitForStarted(timeoutMs))
            return false;
        return WaitUntil(
            [this] { return process_.state() == QProcess::Running && PortAccepts(port_); },
            timeoutMs);
    }
    // Stops it as a service manager does (it saves its persistence).
    void stop() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(30000)) {
            process_.kill();
            process_.waitForFinished(30000);
        }
    }

  private:
    QTemporaryDir dir_;
    int port_;
    QProcess process_;
};

// A subscriber on TOPIC (with wildcards) that keeps every message, in the
// order it came, and comes back after a broker restart to the same session.
class MqttSubscriber {
  public:
    struct Message {
        std::string topic, payload;
        bool retained = false;
        std::chrono::steady_clock::time_point at;
    };

    MqttSubscriber(int port, std::vector<std::string> topics,
                   const std::string& id = "dmm-test-sub")
        : topics_(std::move(topics)) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(id.c_str(), false, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            auto* s = static_cast<MqttSubscriber*>(self);
            if (rc != 0)
                return;
            for (const std::string& t : s->topics_)
                mosquitto_subscribe(m, nullptr, t.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<MqttSubscriber*>(self);
            std::lock_guard lock(s->mutex_);
            ++s->subscribed_;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self,
                                                 const mosquitto_message* m) {
            auto* s = static_cast<MqttSubscriber*>(self);
            Message msg{m->topic,
                        std::string(static_cast<const char*>(m->payload), size_t(m->payloadlen)),
                        m->retain, std::chrono::steady_clock::now()};
            std::lock_guard lock(s->mutex_);
            ++s->counts_[msg.topic];
            s->last_[msg.topic] = msg.payload;
            s->messages_.push_back(std::move(msg));
        });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        connected_ = mosquitto_connect(mosq_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
                     mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
    }
    ~MqttSubscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    MqttSubscriber(const MqttSubscriber&) = delete;
    MqttSubscriber& operator=(const MqttSubscriber&) = delete;

    // Connected and every topic subscribed.
    bool ready(int timeoutMs = 30000) {
        return connected_ && WaitUntil(
                                 [this] {
                                     std::lock_guard lock(mutex_);
                                     return subscribed_ >= topics_.size();
                                 },
                                 timeoutMs);
    }
    std::vector<Message> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<Message> on(const std::string& topic) const {
        std::vector<Message> out;
        for (Message& m : messages())
            if (m.topic == topic)
                out.push_back(std::move(m));
        return out;
    }
    size_t count(const std::string& topic) const {
        std::lock_guard lock(mutex_);
        const auto it = counts_.find(topic);
        return it == counts_.end() ? 0 : it->second;
    }
    // The last payload on the topic, or empty.
    std::string last(const std::string& topic) const {
        std::lock_guard lock(mutex_);
        const auto it = last_.find(topic);
        return it == last_.end() ? std::string() : it->second;
    }

  private:
    std::vector<std::string> topics_;
    mosquitto* mosq_ = nullptr;
    bool connected_ = false;
    mutable std::mutex mutex_;
    size_t subscribed_ = 0;
    std::vector<Message> messages_;
    std::map<std::string, size_t> counts_;
    std::map<std::string, std::string> last_;
};

}  // namespace dmm::test
