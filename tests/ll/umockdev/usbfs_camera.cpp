#include "usbfs_camera.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>

#include "core/byte_order.h"

namespace torvi::test {

struct Urb {
  UMockdevIoctlData *urb = nullptr;  // resolved struct usbdevfs_urb
  UMockdevIoctlData *buf = nullptr;  // resolved transfer buffer
  gulong client_addr = 0;
  int filled = 0;
  usbdevfs_urb *u() const { return reinterpret_cast<usbdevfs_urb *>(urb->data); }
};

// Everything below lives in umockdev's worker thread, except the counters.
struct UsbfsCameraState {
  std::shared_ptr<vcam::Camera> cam;
  std::atomic<GMainContext *> ctx{nullptr};
  GSource *timer = nullptr;
  int wake_fd = -1;  // FIFO: readable by libusb exactly when a URB can be reaped
  bool split = false;
  bool unplugged = false;
  unsigned claimed = 0, config = 1;
  std::deque<Urb *> bulk, ctrl, done;
  std::atomic<unsigned> clear_halts{0}, submitted{0};
  std::atomic<bool> stopped{false};
};

}  // namespace torvi::test

using torvi::test::Urb;
using torvi::test::UsbfsCameraState;

G_BEGIN_DECLS
#define USBFS_TYPE_CAM (usbfs_cam_get_type())
G_DECLARE_FINAL_TYPE(UsbfsCam, usbfs_cam, USBFS, CAM, UMockdevIoctlBase)
G_END_DECLS

struct _UsbfsCam {
  UMockdevIoctlBase parent;
  UsbfsCameraState *s;
};

G_DEFINE_TYPE(UsbfsCam, usbfs_cam, UMOCKDEV_TYPE_IOCTL_BASE)

namespace {

void urb_free(Urb *u) {
  g_clear_object(&u->buf);
  g_clear_object(&u->urb);
  std::unique_ptr<Urb> owner(u);  // made in submit()
}

// The FIFO is drained while something can be reaped, full otherwise.
void wake_set(UsbfsCameraState *s, bool ready) {
  char b[4096];
  if (s->wake_fd < 0) return;
  if (ready) {
    while (read(s->wake_fd, b, sizeof b) > 0) {
    }
  } else {
    std::memset(b, 0, sizeof b);
    while (write(s->wake_fd, b, sizeof b) > 0) {
    }
  }
}

void finish(UsbfsCameraState *s, Urb *u, int status, int actual) {
  u->u()->status = status;
  u->u()->actual_length = actual;
  s->done.push_back(u);
  wake_set(s, true);
}

void drop_all(UsbfsCameraState *s, int status) {
  for (auto *q : {&s->bulk, &s->ctrl}) {
    while (!q->empty()) {
      Urb *u = q->front();
      q->pop_front();
      finish(s, u, status, u->filled);
    }
  }
}

void check_plug(UsbfsCameraState *s) {
  if (!s->unplugged && !s->cam->attached()) {
    s->unplugged = true;
    drop_all(s, -ESHUTDOWN);  // what the host controller reports for killed URBs
  }
}

// Moves stream bytes from the camera into the queued bulk URBs.
gboolean pump(gpointer data) {
  auto *s = static_cast<UsbfsCameraState *>(data);
  check_plug(s);
  while (!s->bulk.empty()) {
    Urb *u = s->bulk.front();
    const int room = u->u()->buffer_length - u->filled;
    auto *buf = static_cast<uint8_t *>(u->u()->buffer) + u->filled;
    const torvi::vcam::BulkStep st =
        s->cam->bulk_in(0x81, std::span<uint8_t>(buf, static_cast<size_t>(room)));
    if (st.kind == torvi::vcam::BulkStep::Kind::data) {
      u->filled += static_cast<int>(st.bytes);
      if (u->filled < u->u()->buffer_length && !st.end_of_transfer) {
        if (st.bytes == 0) break;
        continue;
      }
      s->bulk.pop_front();
      finish(s, u, 0, u->filled);
    } else if (st.kind == torvi::vcam::BulkStep::Kind::stall) {
      s->bulk.pop_front();
      finish(s, u, -EPIPE, u->filled);
    } else if (st.kind == torvi::vcam::BulkStep::Kind::no_device) {
      check_plug(s);
      break;
    } else {
      break;
    }
  }
  return G_SOURCE_CONTINUE;
}

int submit(UsbfsCameraState *s, UMockdevIoctlData *arg) {
  Urb *u = std::make_unique<Urb>().release();  // freed by urb_free()
  u->urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (u->urb == nullptr) {
    urb_free(u);
    return -EFAULT;
  }
  u->client_addr = u->urb->client_addr;
  usbdevfs_urb *urb = u->u();
  if (urb->buffer_length > 0) {
    u->buf = umockdev_ioctl_data_resolve(u->urb, offsetof(usbdevfs_urb, buffer),
                                         static_cast<gsize>(urb->buffer_length), nullptr);
  }
  s->submitted.fetch_add(1);
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
    if (urb->buffer_length < 8) {
      urb_free(u);
      return -EINVAL;
    }
    auto *b = static_cast<uint8_t *>(urb->buffer);
    const uint16_t value = torvi::get_le16(b + 2);
    const uint16_t index = torvi::get_le16(b + 4);
    const uint16_t len = torvi::get_le16(b + 6);
    const int n =
        s->cam->control(b[0], b[1], value, index,
                        std::span<uint8_t>(b + 8, std::min<size_t>(len, urb->buffer_length - 8u)));
    if (n == torvi::vcam::kNoAnswer) {
      s->ctrl.push_back(u);
    } else if (n == LIBUSB_ERROR_PIPE) {
      finish(s, u, -EPIPE, 0);
    } else if (n < 0) {
      finish(s, u, -ESHUTDOWN, 0);
    } else {
      finish(s, u, 0, n);
    }
    return 0;
  }
  if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == 0x81) {
    s->bulk.push_back(u);
    pump(s);
    return 0;
  }
  urb_free(u);
  return -ENOENT;
}

bool discard(UsbfsCameraState *s, std::deque<Urb *> &q, gulong addr) {
  for (auto it = q.begin(); it != q.end(); ++it) {
    if ((*it)->client_addr == addr) {
      Urb *u = *it;
      q.erase(it);
      finish(s, u, -ENOENT, u->filled);  // reaped as "unlinked", with its bytes
      return true;
    }
  }
  return false;
}

void on_client_closed(GObject *client, GParamSpec *, gpointer data) {
  auto *s = static_cast<UsbfsCameraState *>(data);
  if (umockdev_ioctl_client_get_connected(UMOCKDEV_IOCTL_CLIENT(client))) return;
  drop_all(s, -ENOENT);
  while (!s->done.empty()) {
    urb_free(s->done.front());
    s->done.pop_front();
  }
  wake_set(s, false);
  s->claimed = 0;
}

guint32 *arg_u32(UMockdevIoctlData *arg, UMockdevIoctlData **hold) {
  *hold = umockdev_ioctl_data_resolve(arg, 0, 4, nullptr);
  return *hold != nullptr ? reinterpret_cast<guint32 *>((*hold)->data) : nullptr;
}

gboolean handle_ioctl(UMockdevIoctlBase *base, UMockdevIoctlClient *client) {
  UsbfsCameraState *s = USBFS_CAM(base)->s;
  const gulong req = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData *d = nullptr;
  long res = 0;
  int err = 0;
  guint32 *v = nullptr;

  if (s->ctx.load() == nullptr) {
    GMainContext *ctx = g_main_context_ref_thread_default();
    s->timer = g_timeout_source_new(1);
    g_source_set_callback(s->timer, pump, s, nullptr);
    g_source_attach(s->timer, ctx);
    s->ctx.store(ctx);
  }
  if (g_object_get_data(G_OBJECT(client), "usbfs-cam") == nullptr) {
    g_object_set_data(G_OBJECT(client), "usbfs-cam", s);
    g_signal_connect_object(client, "notify::connected", G_CALLBACK(on_client_closed), base,
                            G_CONNECT_DEFAULT);
  }
  check_plug(s);
  if (s->unplugged && !(req == USBDEVFS_REAPURBNDELAY && !s->done.empty())) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  switch (req) {
    case USBDEVFS_GET_CAPABILITIES:
      v = arg_u32(arg, &d);
      *v = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
           USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
           (s->split ? 0 : USBDEVFS_CAP_BULK_SCATTER_GATHER);
      break;
    case USBDEVFS_GET_SPEED:
      res = 3;  // high speed
      break;
    case USBDEVFS_SETCONFIGURATION:
      v = arg_u32(arg, &d);
      if (s->claimed != 0) {
        err = EBUSY;
      } else if (*v > 1) {
        err = EINVAL;
      } else {
        s->config = *v;
      }
      break;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
      v = arg_u32(arg, &d);
      if (*v != 0 || s->config != 1) {
        err = ENOENT;
      } else if (req == USBDEVFS_RELEASEINTERFACE && (s->claimed & 1) == 0) {
        err = EINVAL;
      } else {
        s->claimed = req == USBDEVFS_CLAIMINTERFACE ? 1 : 0;
      }
      break;
    case USBDEVFS_DISCONNECT_CLAIM: {
      d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_disconnect_claim), nullptr);
      const unsigned ifc = reinterpret_cast<usbdevfs_disconnect_claim *>(d->data)->interface;
      if (ifc != 0 || s->config != 1) {
        err = ENOENT;
      } else {
        s->claimed = 1;
      }
      break;
    }
    case USBDEVFS_GETDRIVER:
      err = ENODATA;
      break;
    case USBDEVFS_IOCTL:
    case USBDEVFS_RESET:
      break;
    case USBDEVFS_CLEAR_HALT:
      v = arg_u32(arg, &d);
      if ((*v & 0xFF) == 0x81) {
        s->cam->clear_halt(0x81);
        s->clear_halts.fetch_add(1);
      } else if ((*v & 0x7F) != 0) {
        err = ENOENT;
      }
      break;
    case USBDEVFS_SUBMITURB:
      res = submit(s, arg);
      if (res < 0) err = static_cast<int>(-res);
      res = err != 0 ? -1 : 0;
      break;
    case USBDEVFS_DISCARDURB: {
      const gulong addr = *reinterpret_cast<gulong *>(arg->data);
      if (!discard(s, s->bulk, addr) && !discard(s, s->ctrl, addr)) err = EINVAL;
      break;
    }
    case USBDEVFS_REAPURBNDELAY: {
      if (s->done.empty()) {
        wake_set(s, false);
        err = EAGAIN;
        break;
      }
      Urb *u = s->done.front();
      s->done.pop_front();
      if (s->done.empty()) wake_set(s, false);
      d = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
      umockdev_ioctl_data_set_ptr(d, 0, u->urb);
      urb_free(u);
      break;
    }
    default:
      err = ENOTTY;
  }
  g_clear_object(&d);
  umockdev_ioctl_client_complete(client, err != 0 ? -1 : res, err);
  return TRUE;
}

// Runs in the worker: no more pumping after this.
gboolean stop_timer(gpointer data) {
  auto *s = static_cast<UsbfsCameraState *>(data);
  if (s->timer != nullptr) {
    g_source_destroy(s->timer);
    g_source_unref(s->timer);
    s->timer = nullptr;
  }
  s->stopped.store(true);
  return G_SOURCE_REMOVE;
}

void usbfs_cam_finalize(GObject *o) {
  UsbfsCameraState *s = USBFS_CAM(o)->s;
  if (s != nullptr) {
    if (s->timer != nullptr) {
      g_source_destroy(s->timer);
      g_source_unref(s->timer);
    }
    for (auto *q : {&s->bulk, &s->ctrl, &s->done}) {
      for (Urb *u : *q) urb_free(u);
      q->clear();
    }
    if (s->wake_fd >= 0) close(s->wake_fd);
    if (s->ctx.load() != nullptr) g_main_context_unref(s->ctx.load());
    std::unique_ptr<UsbfsCameraState> owner(s);  // the handler owned it
  }
  G_OBJECT_CLASS(usbfs_cam_parent_class)->finalize(o);
}

}  // namespace

static void usbfs_cam_init(UsbfsCam *self) { self->s = nullptr; }

static void usbfs_cam_class_init(UsbfsCamClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = usbfs_cam_finalize;
  UMOCKDEV_IOCTL_BASE_CLASS(klass)->handle_ioctl = handle_ioctl;
}

namespace torvi::test {

// Device 18 + configuration 9 + interface 9 + bulk IN 0x81 (512) 7 bytes.
constexpr const char *kDescriptors =
    "12010002000000401b113812000101020301"
    "0902190001010080fa"
    "0904000001ff000000"
    "07058102000200";

UsbfsCamera::UsbfsCamera(UMockdevTestbed *tb, std::shared_ptr<vcam::Camera> cam, bool split_bulk) {
  g_autofree char *rec = g_strdup_printf(
      "P: /devices/pci0000:00/0000:00:14.0/usb1/1-3\n"
      "N: bus/usb/001/005\n"
      "E: DEVNAME=/dev/bus/usb/001/005\nE: DEVTYPE=usb_device\n"
      "E: DRIVER=usb\nE: SUBSYSTEM=usb\nE: BUSNUM=001\nE: DEVNUM=005\n"
      "E: PRODUCT=111b/1238/100\n"
      "A: busnum=1\\n\nA: devnum=5\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
      "A: idVendor=111b\nA: idProduct=1238\nA: dev=189:4\n"
      "H: descriptors=%s\n",
      kDescriptors);
  GError *error = nullptr;
  if (!umockdev_testbed_add_from_string(tb, rec, &error)) {
    g_printerr("testbed: %s\n", error->message);
    g_error_free(error);
    return;
  }
  auto state = std::make_unique<UsbfsCameraState>();
  state_ = state.get();
  state_->cam = std::move(cam);
  state_->split = split_bulk;
  g_autofree char *root = umockdev_testbed_get_root_dir(tb);
  g_autofree char *node = g_build_filename(root, "dev/bus/usb/001/005", nullptr);
  unlink(node);
  if (mkfifo(node, 0666) < 0 ||
      (state_->wake_fd = open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
    g_printerr("fifo: %s\n", g_strerror(errno));
    state_ = nullptr;
    return;
  }
  fcntl(state_->wake_fd, F_SETPIPE_SZ, 4096);
  wake_set(state_, false);
  auto *h = static_cast<UsbfsCam *>(g_object_new(USBFS_TYPE_CAM, nullptr));
  h->s = state.release();  // the handler owns it from now on
  if (!umockdev_testbed_attach_ioctl(tb, "/dev/bus/usb/001/005", UMOCKDEV_IOCTL_BASE(h), &error)) {
    g_printerr("attach: %s\n", error->message);
    g_error_free(error);
    g_object_unref(h);
    state_ = nullptr;
    return;
  }
  handler_ = UMOCKDEV_IOCTL_BASE(h);
}

UsbfsCamera::~UsbfsCamera() {
  // The worker's timer goes first, in the worker, so that nothing reads the
  // queues while the handler is finalised from this thread.
  if (state_ != nullptr && state_->ctx.load() != nullptr) {
    g_main_context_invoke(state_->ctx.load(), stop_timer, state_);
    for (int i = 0; i < 2000 && !state_->stopped.load(); ++i) g_usleep(1000);
  }
  if (handler_ != nullptr) g_object_unref(handler_);
}

unsigned UsbfsCamera::clear_halts() const {
  return state_ != nullptr ? state_->clear_halts.load() : 0;
}
unsigned UsbfsCamera::urbs_submitted() const {
  return state_ != nullptr ? state_->submitted.load() : 0;
}

}  // namespace torvi::test
