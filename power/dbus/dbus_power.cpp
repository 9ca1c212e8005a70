#include "power/dbus/dbus_power.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace dbuspower {

namespace {

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct VariantUnref {
  void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

std::string Take(GError* error) {
  std::string text = error != nullptr ? error->message : "unknown error";
  g_clear_error(&error);
  return text;
}

// Cancels `cancellable` unless disarmed within `milliseconds`: GDBus's
// synchronous connect has no time-out of its own.
class Deadline {
 public:
  Deadline(GCancellable* cancellable, int milliseconds)
      : thread_([this, cancellable, milliseconds] {
          std::unique_lock lock(mutex_);
          if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; })) {
            g_cancellable_cancel(cancellable);
          }
        }) {}
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// A private connection to the system bus, closed when it goes: the shared
// one GLib offers would end the program should the bus go away.
std::unique_ptr<GDBusConnection, Unref> ConnectSystemBus(std::string& problem) {
  GError* error = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (address == nullptr) {
    problem = "no system bus: " + Take(error);
    return nullptr;
  }
  GCancellable* cancellable = g_cancellable_new();
  GDBusConnection* connection = nullptr;
  {
    Deadline deadline(cancellable, kCallTimeoutMs);
    connection = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable, &error);
  }
  g_object_unref(cancellable);
  g_free(address);
  if (connection == nullptr) {
    problem = "no system bus: " + Take(error);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return std::unique_ptr<GDBusConnection, Unref>(connection);
}

void Close(GDBusConnection* connection) { g_dbus_connection_close_sync(connection, nullptr, nullptr); }

Variant Call(GDBusConnection* connection, const char* service, const char* path, const char* interface,
             const char* method, GVariant* arguments, const GVariantType* reply, std::string& problem) {
  GError* error = nullptr;
  GVariant* result = g_dbus_connection_call_sync(connection, service, path, interface, method, arguments, reply,
                                                 G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &error);
  if (result == nullptr) problem = std::string(method) + " on " + service + ": " + Take(error);
  return Variant(result);
}

// Every property of `interface` at `path` of UPower, as a{sv}; null when
// they cannot be read.
Variant UPowerProperties(GDBusConnection* connection, const char* path, const char* interface, std::string& problem) {
  Variant reply = Call(connection, "org.freedesktop.UPower", path, "org.freedesktop.DBus.Properties", "GetAll",
                       g_variant_new("(s)", interface), G_VARIANT_TYPE("(a{sv})"), problem);
  if (!reply) return nullptr;
  return Variant(g_variant_get_child_value(reply.get(), 0));
}

Variant Lookup(GVariant* properties, const char* name, const GVariantType* type) {
  return Variant(properties != nullptr ? g_variant_lookup_value(properties, name, type) : nullptr);
}

}  // namespace

DbusPower::~DbusPower() { Release(); }

void DbusPower::Hold(const std::string& why, void*) {
  Release();
  std::string problem;
  auto connection = ConnectSystemBus(problem);
  if (!connection) {
    power::Trace("Inhibit -> not held, " + problem);
    return;
  }
  GError* error = nullptr;
  GUnixFDList* fds = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      connection.get(), "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
      "Inhibit", g_variant_new("(ssss)", kInhibitWhat, kInhibitWho, why.c_str(), kInhibitMode),
      G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &fds, nullptr, &error);
  if (reply == nullptr) {
    power::Trace("Inhibit -> not held, no logind: " + Take(error));
    Close(connection.get());
    return;
  }
  gint32 index = -1;
  g_variant_get(reply, "(h)", &index);
  g_variant_unref(reply);
  const int received = fds != nullptr ? g_unix_fd_list_get(fds, index, &error) : -1;
  if (fds != nullptr) g_object_unref(fds);
  if (received < 0) {
    power::Trace("Inhibit -> not held, no descriptor: " + (error != nullptr ? Take(error) : std::string("none")));
  } else {
    // Close-on-exec whatever GLib did: a child that inherited the lock would
    // keep the computer held after the update.
    lock_ = fcntl(received, F_DUPFD_CLOEXEC, 3);
    close(received);
    power::Trace(lock_ >= 0 ? "Inhibit -> held, fd " + std::to_string(lock_) : std::string("Inhibit -> not held"));
  }
  Close(connection.get());
}

void DbusPower::Release() {
  if (lock_ < 0) return;
  close(lock_);
  lock_ = -1;
  power::Trace("Inhibit -> released");
}

power::Supply DbusPower::ReadSupply() {
  power::Supply supply;
  std::string problem;
  auto connection = ConnectSystemBus(problem);
  if (!connection) {
    power::Trace("supply -> unknown, " + problem);
    return supply;
  }
  // No UPower, no answer: the supply stays unknown, and the calls stop at
  // the first that fails, so that a missing service costs one time-out.
  const char* manager = "/org/freedesktop/UPower";
  Variant managerProperties = UPowerProperties(connection.get(), manager, "org.freedesktop.UPower", problem);
  Variant onBattery = Lookup(managerProperties.get(), "OnBattery", G_VARIANT_TYPE_BOOLEAN);
  Variant device = onBattery ? Call(connection.get(), "org.freedesktop.UPower", manager, "org.freedesktop.UPower",
                                    "GetDisplayDevice", nullptr, G_VARIANT_TYPE("(o)"), problem)
                             : nullptr;
  if (onBattery) {
    supply.known = true;
    supply.onBattery = g_variant_get_boolean(onBattery.get());
  }
  if (device) {
    const gchar* path = nullptr;
    g_variant_get(device.get(), "(&o)", &path);
    Variant properties = UPowerProperties(connection.get(), path, "org.freedesktop.UPower.Device", problem);
    Variant type = Lookup(properties.get(), "Type", G_VARIANT_TYPE_UINT32);
    Variant present = Lookup(properties.get(), "IsPresent", G_VARIANT_TYPE_BOOLEAN);
    Variant percentage = Lookup(properties.get(), "Percentage", G_VARIANT_TYPE_DOUBLE);
    Variant state = Lookup(properties.get(), "State", G_VARIANT_TYPE_UINT32);
    // Type 2 is a battery; a desktop's display device has none.
    const bool battery = type && g_variant_get_uint32(type.get()) == 2 && present && g_variant_get_boolean(present.get());
    if (battery && percentage) supply.percent = static_cast<int>(g_variant_get_double(percentage.get()));
    // State 1 is charging, 4 fully charged, 5 pending charge: not running down.
    if (state) {
      const guint32 value = g_variant_get_uint32(state.get());
      supply.charging = value == 1 || value == 4 || value == 5;
    }
  }
  Close(connection.get());
  if (!supply.known) power::Trace("supply -> unknown, " + problem);
  return supply;
}

}  // namespace dbuspower
