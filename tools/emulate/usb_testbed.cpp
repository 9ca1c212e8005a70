#include "tools/emulate/usb_testbed.h"

#include <fcntl.h>
#include <glib.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <utility>

namespace emu {

namespace {

// What the display's EZ-USB controller reports about itself.
constexpr std::uint16_t kBcdUsb = 0x0200;
constexpr std::uint16_t kBcdDevice = 0x0100;
constexpr std::uint8_t kMaxPacket = 64;
constexpr char kManufacturer[] = "Orvanta";
constexpr char kProduct[] = "Vantor 3";
constexpr std::uint8_t kOutEndpoint = 0x01;  // the OUT pipe
constexpr std::uint8_t kInEndpoint = 0x81;   // the IN pipe

constexpr unsigned kBus = 1;
// A file that refuses to be opened for writing with EACCES, even to root (a
// read-only sysfs attribute): the node of a display the user may not open
// points there, so that libusb meets the kernel's own refusal.
constexpr char kUnopenable[] = "/sys/kernel/uevent_seqnum";
constexpr std::size_t kSetupLength = 8;

// Standard requests and descriptor types the host may ask the device itself.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;
constexpr std::uint8_t kDeviceDescriptor = 1;
constexpr std::uint8_t kConfigDescriptor = 2;
constexpr std::uint8_t kStringDescriptor = 3;
constexpr std::uint8_t kDeviceLength = 18;

std::uint8_t Lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t Hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::vector<std::uint8_t> StringDescriptor(std::uint8_t index, const std::string& serial) {
  if (index == 0) return {4, kStringDescriptor, 0x09, 0x04};  // US English only
  std::string text;
  switch (index) {
    case 1: text = kManufacturer; break;
    case 2: text = kProduct; break;
    case 3: text = serial; break;
    default: return {};
  }
  text.resize(std::min<std::size_t>(text.size(), 126));
  std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), kStringDescriptor};
  for (char c : text) {
    d.push_back(static_cast<std::uint8_t>(c));
    d.push_back(0);
  }
  return d;
}


struct GObjectUnref {
  void operator()(gpointer p) const {
    if (p != nullptr) g_object_unref(p);
  }
};
using DataPtr = std::unique_ptr<UMockdevIoctlData, GObjectUnref>;

// A local copy of client memory at `offset` of `parent` (a pointer there),
// or null when the pointer is null or cannot be read.
DataPtr Resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length) {
  GError* error = nullptr;
  DataPtr data(umockdev_ioctl_data_resolve(parent, offset, length, &error));
  if (error != nullptr) {
    g_error_free(error);
    return nullptr;
  }
  return data;
}

// Runs `fn` on the default main context after `ms` milliseconds.  Callable
// from any thread.
void RunOnMain(unsigned ms, std::function<void()> fn) {
  auto* boxed = new std::function<void()>(std::move(fn));
  g_timeout_add_full(
      G_PRIORITY_DEFAULT, ms,
      [](gpointer p) -> gboolean {
        (*static_cast<std::function<void()>*>(p))();
        return G_SOURCE_REMOVE;
      },
      boxed, [](gpointer p) { delete static_cast<std::function<void()>*>(p); });
}

}  // namespace

std::vector<std::uint8_t> DisplayDescriptors(const DisplayConfig& config) {
  std::vector<std::uint8_t> d = {kDeviceLength, kDeviceDescriptor, Lo(kBcdUsb), Hi(kBcdUsb),
                                 0x00, 0x00, 0x00,  // class from the interface
                                 kMaxPacket,
                                 Lo(config.vendorId), Hi(config.vendorId), Lo(config.productId), Hi(config.productId),
                                 Lo(kBcdDevice), Hi(kBcdDevice),
                                 1, 2, 3,  // iManufacturer, iProduct, iSerialNumber
                                 1};       // one configuration
  std::vector<std::uint8_t> endpoints;
  for (auto [present, address] : {std::pair{config.hasOutPipe, kOutEndpoint}, std::pair{config.hasInPipe, kInEndpoint}}) {
    if (present) endpoints.insert(endpoints.end(), {7, 5, address, 0x02 /* bulk */, kMaxPacket, 0, 0});
  }
  const auto total = static_cast<std::uint16_t>(9 + 9 + endpoints.size());
  d.insert(d.end(), {9, kConfigDescriptor, Lo(total), Hi(total), 1 /* interface */, 1 /* value */, 0,
                     0x80 /* bus powered */, 50 /* 100 mA */});
  d.insert(d.end(), {9, 4, 0 /* number */, 0, static_cast<std::uint8_t>(endpoints.size() / 7), 0xFF /* vendor */,
                     0x00, 0x00, 0});
  d.insert(d.end(), endpoints.begin(), endpoints.end());
  return d;
}

struct UsbTestbed::Impl : std::enable_shared_from_this<UsbTestbed::Impl> {
  // One URB the client submitted, as local copies of its usbdevfs_urb and
  // buffer; umockdev writes both back when the URB is reaped.
  struct Urb {
    DataPtr urb;
    DataPtr buffer;
    UMockdevIoctlClient* client = nullptr;
    gulong address = 0;  // the URB's address in the client: what a discard names
    std::uint8_t endpoint = 0;

    usbdevfs_urb* Fields() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
    std::uint8_t* Data() const { return buffer ? buffer->data : nullptr; }
    int Length() const { return buffer ? buffer->data_len : 0; }
  };

  // One open descriptor of the device node.
  struct Client {
    UMockdevIoctlClient* client = nullptr;  // referenced, so its address stays unique while we know it
    std::deque<std::unique_ptr<Urb>> done;  // ready to be reaped, in completion order
  };

  // One appearance of a display on the bus, from plug to unplug.  It outlives
  // the unplug: descriptors opened before still talk to it and must learn
  // that the device is gone.
  struct Attachment {
    Impl* impl = nullptr;
    std::shared_ptr<EmulatedDisplay> display;
    bool hasOut = true;
    bool hasIn = true;
    std::string serial;
    std::vector<std::uint8_t> descriptors;
    std::string syspath;  // /sys/devices/...
    std::string devnode;  // /dev/bus/usb/BBB/DDD
    UMockdevIoctlBase* handler = nullptr;

    // Under Impl::mutex:
    int ptyMaster = -1;
    int ptySlave = -1;
    bool flowing = true;  // the pty's output runs: the node polls writable
    bool gone = false;
    std::list<std::unique_ptr<Urb>> inFlight;  // submitted, not completed; IN ones are served in this order
    std::map<UMockdevIoctlClient*, Client> clients;
    UMockdevIoctlClient* claimedBy = nullptr;  // the descriptor holding interface 0
    bool claimedElsewhere = false;             // by a program outside the testbed, for good
  };

  struct Slot {
    std::shared_ptr<EmulatedDisplay> display;
    UsbAccess access;
    int port = 0;
    std::shared_ptr<Attachment> current;  // under mutex
    bool removedForGood = false;          // under mutex
  };

  UsbTestbedTiming timing;
  UMockdevTestbed* testbed = nullptr;
  std::string rootDir;
  int nextDevnum = 2;  // 1 is the root hub; the kernel numbers each appearance anew
  std::vector<Slot> slots;
  std::vector<std::shared_ptr<Attachment>> attachments;  // every one ever plugged; main thread only

  mutable std::mutex mutex;

  // The attachment whose bulk OUT is being handed to the model on this
  // thread: its IN data is served after the OUT transfer completes, as on a
  // real bus where the display answers only what it received.
  static thread_local const Attachment* holdIn;

  // --- usbdevfs over the model (umockdev's worker thread) ---

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* att = static_cast<Attachment*>(user);
    return att->impl->HandleIoctl(*att, client) ? TRUE : FALSE;
  }

  // A closed descriptor takes its URBs with it, as the kernel kills them on
  // close; an IN URB left behind would swallow the display's next answer.
  // umockdev 0.17 announces no closed client (neither "client-vanished" nor a
  // property change), so closed ones are looked for whenever the device is
  // used.
  static void ForgetClosedClients(Attachment& att) {
    for (auto it = att.clients.begin(); it != att.clients.end();) {
      UMockdevIoctlClient* client = it->first;
      if (umockdev_ioctl_client_get_connected(client)) {
        ++it;
        continue;
      }
      att.inFlight.remove_if([client](const std::unique_ptr<Urb>& u) { return u->client == client; });
      if (att.claimedBy == client) att.claimedBy = nullptr;  // closing a descriptor releases its claim
      g_object_unref(it->second.client);
      it = att.clients.erase(it);
    }
    UpdateFlow(att);
  }

  static Client& ClientOf(Attachment& att, UMockdevIoctlClient* client) {
    Client& c = att.clients[client];
    if (c.client == nullptr) c.client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    return c;
  }

  static void Fail(UMockdevIoctlClient* client, int error) { umockdev_ioctl_client_complete(client, -1, error); }

  // Lets the node poll writable exactly while something can be reaped (or
  // the device is gone), so that an idle client sleeps in poll instead of
  // spinning on REAPURBNDELAY.
  static void UpdateFlow(Attachment& att) {
    bool want = att.gone;
    for (const auto& [key, c] : att.clients) want = want || !c.done.empty();
    if (want == att.flowing || att.ptySlave < 0) return;
    tcflow(att.ptySlave, want ? TCOON : TCOOFF);
    att.flowing = want;
  }

  static void Finish(Attachment& att, std::unique_ptr<Urb> urb, int status, int actual) {
    urb->Fields()->status = status;
    urb->Fields()->actual_length = actual;
    auto it = att.clients.find(urb->client);
    if (it == att.clients.end()) return;  // its descriptor was closed meanwhile
    it->second.done.push_back(std::move(urb));
    UpdateFlow(att);
  }

  // Completes pending IN URBs with what the display has ready.
  static void ServeIn(Attachment& att) {
    ForgetClosedClients(att);
    for (auto it = att.inFlight.begin(); it != att.inFlight.end();) {
      if ((*it)->endpoint != kInEndpoint) {
        ++it;
        continue;
      }
      auto transfer = att.display->TakeIn();
      if (!transfer) break;
      std::unique_ptr<Urb> urb = std::move(*it);
      it = att.inFlight.erase(it);
      if (transfer->error) {
        Finish(att, std::move(urb), -EPROTO, 0);
        continue;
      }
      // A host buffer shorter than what the display sends overflows, as on
      // the bus; the part that fits is still delivered.
      const std::size_t n = std::min<std::size_t>(transfer->data.size(), static_cast<std::size_t>(urb->Length()));
      if (n > 0) std::memcpy(urb->Data(), transfer->data.data(), n);
      Finish(att, std::move(urb), n < transfer->data.size() ? -EOVERFLOW : 0, static_cast<int>(n));
    }
  }

  // Fails everything in flight and hangs the node up, which every open
  // descriptor sees as POLLERR: libusb's own disconnect handling follows.
  static void MarkGone(Attachment& att) {
    if (att.gone) return;
    att.gone = true;
    while (!att.inFlight.empty()) {
      std::unique_ptr<Urb> urb = std::move(att.inFlight.front());
      att.inFlight.pop_front();
      Finish(att, std::move(urb), -ENODEV, 0);
    }
    UpdateFlow(att);
    if (att.ptyMaster >= 0) close(att.ptyMaster);
    if (att.ptySlave >= 0) close(att.ptySlave);
    att.ptyMaster = att.ptySlave = -1;
  }

  // A standard request the device answers itself.  Returns the bytes moved
  // or -1 for a STALL.
  static int StandardRequest(const Attachment& att, const std::uint8_t* setup, std::uint8_t* data) {
    const std::uint8_t type = setup[0];
    const std::uint8_t request = setup[1];
    const std::uint16_t value = Le16(setup + 2);
    const std::uint16_t length = Le16(setup + 6);
    auto answer = [&](const std::vector<std::uint8_t>& bytes) {
      if (bytes.empty()) return -1;
      const std::size_t n = std::min<std::size_t>(bytes.size(), length);
      std::copy_n(bytes.begin(), n, data);
      return static_cast<int>(n);
    };
    if (type & 0x80) {
      switch (request) {
        case kGetDescriptor:
          if (type != 0x80) return -1;
          switch (value >> 8) {
            case kDeviceDescriptor:
              return answer({att.descriptors.begin(), att.descriptors.begin() + kDeviceLength});
            case kConfigDescriptor:
              if ((value & 0xFF) != 0) return -1;
              return answer({att.descriptors.begin() + kDeviceLength, att.descriptors.end()});
            case kStringDescriptor:
              return answer(StringDescriptor(static_cast<std::uint8_t>(value & 0xFF), att.serial));
            default:
              return -1;
          }
        case kGetStatus: return answer({0, 0});
        case kGetConfiguration: return answer({1});
        case kGetInterface: return answer({0});
        default: return -1;
      }
    }
    switch (request) {
      case kSetConfiguration: return value == 1 ? 0 : -1;
      case kSetInterface: return value == 0 ? 0 : -1;
      case kClearFeature:
      case kSetFeature: return 0;
      default: return -1;
    }
  }

  // A control transfer by its setup packet; the data stage follows at `data`.
  static int Control(Attachment& att, const std::uint8_t* setup, std::uint8_t* data) {
    const std::uint8_t type = setup[0];
    switch (type & 0x60) {
      case 0x00: return StandardRequest(att, setup, data);
      case 0x40:
        return att.display->ControlTransfer(type, setup[1], Le16(setup + 2), Le16(setup + 4), data, Le16(setup + 6));
      default: return -1;  // no class requests
    }
  }

  bool HandleIoctl(Attachment& att, UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    {
      std::lock_guard lock(mutex);
      ForgetClosedClients(att);
      ClientOf(att, client);
      if (att.gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_DISCARDURB) {
        Fail(client, ENODEV);
        return true;
      }
    }
    switch (request) {
      case USBDEVFS_SUBMITURB: Submit(att, client, arg); return true;
      case USBDEVFS_REAPURBNDELAY: Reap(att, client, arg); return true;
      case USBDEVFS_DISCARDURB: Discard(att, client, arg); return true;
      case USBDEVFS_CONTROL: SyncControl(att, client, arg); return true;

      case USBDEVFS_GET_CAPABILITIES: {
        DataPtr caps = Resolve(arg, 0, sizeof(std::uint32_t));
        if (!caps) {
          Fail(client, EFAULT);
          return true;
        }
        const std::uint32_t value =
            USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(caps->data, &value, sizeof value);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
      }

      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        DataPtr number = Resolve(arg, 0, sizeof(unsigned int));
        unsigned int interface = 0;
        if (number) std::memcpy(&interface, number->data, sizeof interface);
        if (!number) Fail(client, EFAULT);
        else if (interface != 0) Fail(client, ENOENT);
        else if (request == USBDEVFS_CLAIMINTERFACE) Claim(att, client);
        else Release(att, client);
        return true;
      }

      case USBDEVFS_DISCONNECT_CLAIM: {
        // No kernel driver is ever bound, so there is nothing to disconnect;
        // the claim itself is refused as any other.
        DataPtr claim = Resolve(arg, 0, sizeof(usbdevfs_disconnect_claim));
        if (!claim) Fail(client, EFAULT);
        else if (reinterpret_cast<usbdevfs_disconnect_claim*>(claim->data)->interface != 0) Fail(client, ENOENT);
        else Claim(att, client);
        return true;
      }

      case USBDEVFS_GETDRIVER:
        Fail(client, ENODATA);  // no kernel driver is bound to the display
        return true;

      case USBDEVFS_IOCTL:  // connect or disconnect a kernel driver: there is none
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_SETCONFIGURATION:
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
      case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;

      default:
        // Includes the blocking REAPURB, which libusb does not use.
        Fail(client, ENOTTY);
        return true;
    }
  }

  // usbdevfs lets one descriptor hold an interface: claiming it again from
  // the holder succeeds, from any other descriptor fails with EBUSY.
  void Claim(Attachment& att, UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex);
    if (att.claimedElsewhere || (att.claimedBy != nullptr && att.claimedBy != client)) return Fail(client, EBUSY);
    att.claimedBy = client;
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  // Releasing an interface this descriptor does not hold fails with EINVAL.
  void Release(Attachment& att, UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex);
    if (att.claimedBy != client) return Fail(client, EINVAL);
    att.claimedBy = nullptr;
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void Submit(Attachment& att, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    auto urb = std::make_unique<Urb>();
    urb->urb = Resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urb->urb) return Fail(client, EFAULT);
    usbdevfs_urb* fields = urb->Fields();
    if (fields->buffer_length < 0) return Fail(client, EINVAL);
    if (fields->buffer_length > 0) {
      urb->buffer = Resolve(urb->urb.get(), offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(fields->buffer_length));
      if (!urb->buffer) return Fail(client, EFAULT);
    }
    urb->client = client;
    urb->address = urb->urb->client_addr;
    urb->endpoint = fields->endpoint;
    fields->status = 0;
    fields->actual_length = 0;

    if (fields->type == USBDEVFS_URB_TYPE_CONTROL) {
      if (urb->Length() < static_cast<int>(kSetupLength)) return Fail(client, EINVAL);
      const std::uint16_t length = Le16(urb->Data() + 6);
      if (kSetupLength + length > static_cast<std::size_t>(urb->Length())) return Fail(client, EINVAL);
      const int result = Control(att, urb->Data(), urb->Data() + kSetupLength);
      std::lock_guard lock(mutex);
      // The device may have left while it handled the request (a fault
      // injected at that request): the request then dies with it.
      if (att.gone) Finish(att, std::move(urb), -ENODEV, 0);
      else Finish(att, std::move(urb), result < 0 ? -EPIPE : 0, std::max(result, 0));
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }

    if (fields->type != USBDEVFS_URB_TYPE_BULK) return Fail(client, EINVAL);

    if (urb->endpoint == kOutEndpoint && att.hasOut) {
      holdIn = &att;
      const EmulatedDisplay::OutResult result = att.display->BulkOut(urb->Data(), static_cast<std::size_t>(urb->Length()));
      holdIn = nullptr;
      std::lock_guard lock(mutex);
      if (att.gone) {
        Finish(att, std::move(urb), -ENODEV, 0);
      } else if (result == EmulatedDisplay::OutResult::kPending) {
        att.inFlight.push_back(std::move(urb));  // the display never takes it: until discarded or unplugged
      } else {
        const int length = urb->Length();
        const bool ok = result == EmulatedDisplay::OutResult::kDone;
        Finish(att, std::move(urb), ok ? 0 : -EPROTO, ok ? length : 0);
      }
      if (!att.gone) ServeIn(att);
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }

    if (urb->endpoint == kInEndpoint && att.hasIn) {
      std::lock_guard lock(mutex);
      if (att.gone) return Fail(client, ENODEV);
      att.inFlight.push_back(std::move(urb));
      ServeIn(att);
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }

    Fail(client, ENOENT);  // no such endpoint
  }

  void Reap(Attachment& att, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataPtr slot = Resolve(arg, 0, sizeof(void*));
    std::lock_guard lock(mutex);
    Client& c = ClientOf(att, client);
    if (c.done.empty()) return Fail(client, att.gone ? ENODEV : EAGAIN);
    if (!slot) return Fail(client, EFAULT);
    std::unique_ptr<Urb> urb = std::move(c.done.front());
    c.done.pop_front();
    // The client's pointer is made to point at its own URB, which umockdev
    // writes back (with the buffer) when the call completes.
    umockdev_ioctl_data_set_ptr(slot.get(), 0, urb->urb.get());
    umockdev_ioctl_client_complete(client, 0, 0);
    UpdateFlow(att);
  }

  void Discard(Attachment& att, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
    std::lock_guard lock(mutex);
    for (auto it = att.inFlight.begin(); it != att.inFlight.end(); ++it) {
      if ((*it)->client == client && (*it)->address == address) {
        std::unique_ptr<Urb> urb = std::move(*it);
        att.inFlight.erase(it);
        Finish(att, std::move(urb), -ENOENT, 0);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
      }
    }
    Fail(client, EINVAL);  // already completed, or never submitted
  }

  // The synchronous control call: same requests, answered at once.
  void SyncControl(Attachment& att, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataPtr transfer = Resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (!transfer) return Fail(client, EFAULT);
    auto* t = reinterpret_cast<usbdevfs_ctrltransfer*>(transfer->data);
    std::vector<std::uint8_t> setup = {t->bRequestType, t->bRequest, Lo(t->wValue), Hi(t->wValue),
                                       Lo(t->wIndex),       Hi(t->wIndex), Lo(t->wLength), Hi(t->wLength)};
    DataPtr data;
    if (t->wLength > 0) {
      data = Resolve(transfer.get(), offsetof(usbdevfs_ctrltransfer, data), t->wLength);
      if (!data) return Fail(client, EFAULT);
    }
    const int result = Control(att, setup.data(), data ? data->data : nullptr);
    if (result < 0) return Fail(client, EPIPE);
    umockdev_ioctl_client_complete(client, result, 0);
  }

  // --- plugging (main thread) ---

  bool OpenPty(Attachment& att, std::string* slaveName) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
      close(master);
      return false;
    }
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
      close(master);
      return false;
    }
    // Nothing can be reaped yet.
    tcflow(slave, TCOOFF);
    att.ptyMaster = master;
    att.ptySlave = slave;
    att.flowing = false;
    *slaveName = name;
    return true;
  }

  // Where /sys is mounted read-only (a container) the refusal is EROFS, and
  // the program sees another error than the one asked for: say so.
  static void WarnIfOpenable() {
    const int fd = open(kUnopenable, O_RDWR | O_CLOEXEC);
    const int error = errno;
    if (fd >= 0) close(fd);
    if (fd < 0 && error == EACCES) return;
    std::fprintf(stderr, "dotvane-emulate: --no-permission: %s does not refuse with EACCES here (%s)\n", kUnopenable,
                 fd >= 0 ? "it opens" : std::strerror(error));
  }

  void Plug(std::size_t index) {
    Slot& slot = slots.at(index);
    {
      std::lock_guard lock(mutex);
      if (slot.current || slot.removedForGood) return;
    }
    slot.display->PowerOn();
    const DisplayConfig config = slot.display->Config();

    auto att = std::make_shared<Attachment>();
    att->impl = this;
    att->display = slot.display;
    att->hasOut = config.hasOutPipe;
    att->hasIn = config.hasInPipe;
    att->serial = config.serial;
    att->descriptors = DisplayDescriptors(config);
    att->claimedElsewhere = slot.access.claimedElsewhere;
    const int devnum = nextDevnum++;
    char number[16];
    std::snprintf(number, sizeof number, "%03u/%03d", kBus, devnum);
    const std::string node = std::string("bus/usb/") + number;
    att->devnode = "/dev/" + node;
    const std::string devpath = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(slot.port);
    att->syspath = "/sys" + devpath;

    std::string slaveName;
    if (!OpenPty(*att, &slaveName)) {
      std::fprintf(stderr, "dotvane-emulate: cannot open a pty for %s: %s\n", att->devnode.c_str(), std::strerror(errno));
      return;
    }

    // umockdev makes USB nodes regular files, which poll writable for ever;
    // a pty slave polls writable only while its output flows.  The node and
    // its ioctl handler are in place before the device is added, because
    // adding it announces it ("add" uevent) and a client may open it at once.
    const std::string nodePath = rootDir + att->devnode;
    g_mkdir_with_parents(nodePath.substr(0, nodePath.rfind('/')).c_str(), 0755);
    const std::string target = slot.access.noPermission ? kUnopenable : slaveName;
    if (slot.access.noPermission) WarnIfOpenable();
    if (symlink(target.c_str(), nodePath.c_str()) != 0) {
      std::fprintf(stderr, "dotvane-emulate: cannot create %s: %s\n", nodePath.c_str(), std::strerror(errno));
    }
    att->handler = umockdev_ioctl_base_new();
    g_signal_connect(att->handler, "handle-ioctl", G_CALLBACK(OnIoctl), att.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, att->devnode.c_str(), att->handler, &error)) {
      std::fprintf(stderr, "dotvane-emulate: cannot emulate %s: %s\n", att->devnode.c_str(), error ? error->message : "?");
      if (error) g_error_free(error);
    }
    attachments.push_back(att);
    {
      std::lock_guard lock(mutex);
      slot.current = att;
    }

    char vid[8], pid[8], bcd[8];
    std::snprintf(vid, sizeof vid, "%04x", config.vendorId);
    std::snprintf(pid, sizeof pid, "%04x", config.productId);
    std::snprintf(bcd, sizeof bcd, "%04x", kBcdDevice);
    char product[32];
    std::snprintf(product, sizeof product, "%x/%x/%x", config.vendorId, config.productId, kBcdDevice);
    // No "N:" line: the node exists already.
    std::string record;
    record += "P: " + devpath + "\n";
    record += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    record += "E: DEVNAME=" + att->devnode + "\n";
    record += "E: BUSNUM=" + std::string(number, 3) + "\nE: DEVNUM=" + std::string(number + 4) + "\n";
    record += std::string("E: PRODUCT=") + product + "\nE: TYPE=0/0/0\n";
    record += std::string("E: ID_VENDOR_ID=") + vid + "\nE: ID_MODEL_ID=" + pid + "\n";
    record += "E: ID_SERIAL_SHORT=" + config.serial + "\n";
    record += "A: busnum=" + std::to_string(kBus) + "\\n\n";
    record += "A: devnum=" + std::to_string(devnum) + "\\n\n";
    record += "A: speed=12\\n\n";  // full speed
    record += std::string("A: idVendor=") + vid + "\\n\nA: idProduct=" + pid + "\\n\nA: bcdDevice=" + bcd + "\\n\n";
    record += std::string("A: manufacturer=") + kManufacturer + "\\n\nA: product=" + kProduct + "\\n\n";
    record += "A: serial=" + config.serial + "\\n\n";
    record += "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\nA: bMaxPacketSize0=64\\n\n";
    record += "A: version= 2.00\\n\n";
    record += "H: descriptors=" + Hex(att->descriptors) + "\n";
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
      std::fprintf(stderr, "dotvane-emulate: cannot add %s: %s\n", att->devnode.c_str(), error ? error->message : "?");
      if (error) g_error_free(error);
    }
  }

  void Leave(std::size_t index, bool forGood) {
    Slot& slot = slots.at(index);
    std::shared_ptr<Attachment> att;
    {
      std::lock_guard lock(mutex);
      if (forGood) slot.removedForGood = true;
      att = std::move(slot.current);
      slot.current.reset();
      if (!att) return;
      MarkGone(*att);
    }
    // Removing the device announces nothing, and the event is built from
    // sysfs: it goes out first.
    umockdev_testbed_uevent(testbed, att->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, att->syspath.c_str());
    unlink((rootDir + att->devnode).c_str());
  }

  void OnRestart(std::size_t index) {
    std::weak_ptr<Impl> weak = weak_from_this();
    RunOnMain(static_cast<unsigned>(timing.restartLeaveMs), [weak, index] {
      auto self = weak.lock();
      if (!self) return;
      self->Leave(index, false);
      RunOnMain(static_cast<unsigned>(self->timing.restartReturnMs), [weak, index] {
        if (auto again = weak.lock()) again->Plug(index);
      });
    });
  }
};

thread_local const UsbTestbed::Impl::Attachment* UsbTestbed::Impl::holdIn = nullptr;

UsbTestbed::UsbTestbed(UsbTestbedTiming timing) : impl_(std::make_shared<Impl>()) {
  impl_->timing = timing;
  impl_->testbed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
  impl_->rootDir = root;
  g_free(root);
}

UsbTestbed::~UsbTestbed() {
  for (std::size_t i = 0; i < impl_->slots.size(); ++i) {
    impl_->slots[i].display->SetInListener(nullptr);
    impl_->slots[i].display->SetRestartListener(nullptr);
    impl_->Leave(i, true);
  }
  for (auto& att : impl_->attachments) {
    umockdev_testbed_detach_ioctl(impl_->testbed, att->devnode.c_str(), nullptr);
  }
  g_object_unref(impl_->testbed);
  for (auto& att : impl_->attachments) {
    std::lock_guard lock(impl_->mutex);
    for (auto& [key, c] : att->clients) g_object_unref(c.client);
    att->clients.clear();
    att->inFlight.clear();
  }
  for (auto& att : impl_->attachments) g_object_unref(att->handler);
}

std::size_t UsbTestbed::AddDisplay(std::shared_ptr<EmulatedDisplay> display, UsbAccess access) {
  const std::size_t index = impl_->slots.size();
  Impl::Slot slot;
  slot.display = display;
  slot.access = access;
  slot.port = static_cast<int>(index) + 1;
  impl_->slots.push_back(std::move(slot));

  std::weak_ptr<Impl> weak = impl_;
  display->SetInListener([weak, index] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->mutex);
    auto& att = self->slots[index].current;
    if (!att || att->gone || Impl::holdIn == att.get()) return;
    Impl::ServeIn(*att);
  });
  display->SetRestartListener([weak, index] {
    if (auto self = weak.lock()) self->OnRestart(index);
  });
  return index;
}

void UsbTestbed::Plug(std::size_t slot) { impl_->Plug(slot); }

void UsbTestbed::Unplug(std::size_t slot) { impl_->Leave(slot, true); }

void UsbTestbed::Detach(std::size_t slot) { impl_->Leave(slot, false); }

void UsbTestbed::UnplugSoon(std::size_t slot) {
  {
    std::lock_guard lock(impl_->mutex);
    Impl::Slot& s = impl_->slots.at(slot);
    s.removedForGood = true;
    if (s.current) Impl::MarkGone(*s.current);
  }
  std::weak_ptr<Impl> weak = impl_;
  RunOnMain(0, [weak, slot] {
    if (auto self = weak.lock()) self->Leave(slot, true);
  });
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (std::uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 0xF];
  }
  return s;
}

}  // namespace emu
