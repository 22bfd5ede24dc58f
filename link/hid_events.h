// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The HID controller's and devices' event types, and their error.
//
// The controller hands a new handler on only to the devices whose handler is
// the one it replaces, so handlers must compare equal when they are "the same
// handler". An event is bound either to an object and one of its member
// functions (equal when both match) or to any callable with an identity the
// caller gives (equal when the identities match).

#include <QObject>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace dmm {

class TJvHidDevice;

// Raised when a second controller is made, and (caught by the controller's
// scan) for a device that cannot be opened or identified.
class EControllerError : public std::runtime_error {
  public:
    explicit EControllerError(const std::string& message) : std::runtime_error(message) {}
};

template <class Signature>
class HidEvent;

template <class R, class... Args>
class HidEvent<R(Args...)> {
  public:
    HidEvent() = default;
    HidEvent(std::nullptr_t) {}

    template <class T, class Base>
    requires std::is_base_of_v<Base, T> HidEvent(T* object, R (Base::*method)(Args...))
        : call_([object, method](Args... args) -> R { return (object->*method)(args...); }) {
        bindIdentity(static_cast<Base*>(object), method);
    }

    template <class T, class Base>
    requires std::is_base_of_v<Base, T> HidEvent(const T* object, R (Base::*method)(Args...) const)
        : call_([object, method](Args... args) -> R { return (object->*method)(args...); }) {
        bindIdentity(static_cast<const Base*>(object), method);
    }

    // Any callable; identity tells this handler apart from others (typically
    // the address of the object the callable works on). A null identity
    // gives an empty event.
    template <class F>
    requires std::is_invocable_r_v<R, F&, Args...> HidEvent(const void* identity, F&& function) {
        if (identity) {
            call_ = std::forward<F>(function);
            id_.kind = Kind::Callable;
            id_.object = identity;
        }
    }

    explicit operator bool() const { return id_.kind != Kind::Empty; }
    R operator()(Args... args) const { return call_(args...); }

    bool operator==(const HidEvent& other) const { return id_ == other.id_; }

  private:
    enum class Kind : uint8_t { Empty, Method, Callable };
    // Room for a member function pointer (two words in the ABIs we build for).
    using MethodBytes = std::array<unsigned char, 2 * sizeof(void*)>;

    template <class M>
    void bindIdentity(const void* object, M method) {
        static_assert(sizeof(M) <= sizeof(MethodBytes), "member function pointer too large");
        if (!object || !method)
            return;
        id_.kind = Kind::Method;
        id_.object = object;
        std::memcpy(id_.method.data(), &method, sizeof(M));
    }

    struct Identity {
        Kind kind = Kind::Empty;
        const void* object = nullptr;
        MethodBytes method{};
        bool operator==(const Identity&) const = default;
    };

    std::function<R(Args...)> call_;
    Identity id_;
};

// Sender is the controller.
using TNotifyEvent = HidEvent<void(QObject* Sender)>;
using TJvHidPlugEvent = HidEvent<void(TJvHidDevice* HidDev)>;
// True to go on with the next device.
using TJvHidEnumerateEvent = HidEvent<bool(TJvHidDevice* HidDev, int32_t Idx)>;
// Data points at the report's bytes after its ID and is valid only during the
// call.
using TJvHidDataEvent =
    HidEvent<void(TJvHidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size)>;
// Error is an errno-style code; HidErrorText gives its message.
using TJvHidDataErrorEvent = HidEvent<void(TJvHidDevice* HidDev, uint32_t Error)>;

}  // namespace dmm
