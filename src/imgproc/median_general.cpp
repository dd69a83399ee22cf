// Median over any odd kernel by an incrementally updated sorted list: the
// window moves in a serpentine (row 0 left to right, row 1 right to left, ...)
// and each step removes the leaving column or row and inserts the entering
// one, so the window is never rebuilt. A balance counter keeps the median
// node at the middle of the list.
#include <torvi/kx_filter.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "core/c_entry.h"
#include "core/test_hooks.h"

namespace {

constexpr int32_t kNil = -1;

struct Node {
  int32_t next = kNil;
  int32_t prev = kNil;
  uint32_t value = 0;
  int32_t col = 0;
  int32_t row = 0;
};

// The sorted list of the window's values, ascending; equal values keep their
// insertion order.
class SortedWindow {
 public:
  explicit SortedWindow(std::vector<Node> &nodes) : n_(nodes) {}

  void insert(int32_t id) {
    Node &node = n_[id];
    if (head_ == kNil) {
      node.next = node.prev = kNil;
      head_ = median_ = id;
      balance_ = 0;
      ++count_;
      return;
    }
    if (node.value < n_[median_].value) {
      --balance_;
      place_from(head_, id);
    } else {
      ++balance_;
      place_from(median_, id);
    }
    ++count_;
    rebalance();
  }

  void remove(int32_t id) {
    const Node &node = n_[id];
    if (id == median_) {
      --balance_;
      median_ = node.next != kNil ? node.next : node.prev;
      if (node.next == kNil) balance_ += 2;  // the previous node became the median
    } else if (node.value > n_[median_].value) {
      --balance_;
    } else if (node.value < n_[median_].value) {
      ++balance_;
    } else {
      balance_ += after_median(id) ? -1 : 1;
    }
    unlink(id);
    --count_;
    rebalance();
  }

  uint32_t median() const { return n_[median_].value; }

 private:
  // Inserts id before the first node after `from` whose value is greater.
  void place_from(int32_t from, int32_t id) {
    const uint32_t v = n_[id].value;
    int32_t at = from, last = kNil;
    while (at != kNil && n_[at].value <= v) {
      last = at;
      at = n_[at].next;
    }
    Node &node = n_[id];
    node.next = at;
    node.prev = at != kNil ? n_[at].prev : last;
    if (node.prev != kNil)
      n_[node.prev].next = id;
    else
      head_ = id;
    if (at != kNil) n_[at].prev = id;
  }

  void unlink(int32_t id) {
    Node &node = n_[id];
    if (node.prev != kNil)
      n_[node.prev].next = node.next;
    else
      head_ = node.next;
    if (node.next != kNil) n_[node.next].prev = node.prev;
    node.next = node.prev = kNil;
    if (head_ == kNil) median_ = kNil;
  }

  bool after_median(int32_t id) const {
    for (int32_t at = n_[median_].next; at != kNil && n_[at].value == n_[id].value;
         at = n_[at].next)
      if (at == id) return true;
    return false;
  }

  void rebalance() {
    if (balance_ >= 2 && n_[median_].next != kNil) {
      median_ = n_[median_].next;
      balance_ = 0;
    } else if (balance_ <= -2 && n_[median_].prev != kNil) {
      median_ = n_[median_].prev;
      balance_ = 0;
    }
  }

  std::vector<Node> &n_;
  int32_t head_ = kNil;
  int32_t median_ = kNil;
  int balance_ = 0;
  int count_ = 0;
};

// Names the allocation failures are reported under: the working record and
// node table belong to the call, a node to the step that adds a value.
constexpr const char *kWorkName = "kx_median2d_u16";
constexpr const char *kNodeName = "_median2d_u16_add_val";

class MedianGeneral {
 public:
  MedianGeneral(const uint16_t *src, int w, int h, int k)
      : src_(src), w_(w), h_(h), k_(k), r_((k - 1) / 2) {}

  bool allocate() {
    const auto cells =
        static_cast<std::size_t>(w_ + 2 * r_) * static_cast<std::size_t>(h_ + 2 * r_);
    try {
      if (torvi::hooks::count_down(torvi::hooks::Knob::kImgprocFailNthAlloc))
        throw std::bad_alloc();
      table_.assign(cells, kNil);
    } catch (const std::bad_alloc &) {
      KX_LOG_AT(KX_LOG_ERR, kWorkName, "malloc failed\n");
      return false;
    }
    try {
      if (torvi::hooks::count_down(torvi::hooks::Knob::kImgprocFailNthAlloc))
        throw std::bad_alloc();
      nodes_.resize(static_cast<std::size_t>(k_) * static_cast<std::size_t>(k_));
      leaving_.resize(static_cast<std::size_t>(k_));
    } catch (const std::bad_alloc &) {
      KX_LOG_AT(KX_LOG_ERR, kNodeName, "malloc failed\n");
      return false;
    }
    return true;
  }

  void run(uint16_t *dst) {
    SortedWindow list(nodes_);
    int32_t next_free = 0;
    for (int row = -r_; row <= r_; ++row)
      for (int col = -r_; col <= r_; ++col) add(list, next_free++, col, row);
    int x = 0;
    for (int y = 0; y < h_; ++y) {
      if (y > 0) {
        for (int col = x - r_; col <= x + r_; ++col)
          add(list, take(list, col, y - 1 - r_), col, y + r_);
      }
      const int step = (y % 2 == 0) ? 1 : -1;
      for (int i = 0; i < w_; ++i) {
        if (i > 0) {
          const int leave = x - step * r_, enter = x + step * (r_ + 1);
          int32_t *ids = leaving_.data();
          for (int row = y - r_; row <= y + r_; ++row) ids[row - (y - r_)] = take(list, leave, row);
          for (int row = y - r_; row <= y + r_; ++row) add(list, ids[row - (y - r_)], enter, row);
          x += step;
        }
        dst[static_cast<std::size_t>(y) * static_cast<std::size_t>(w_) +
            static_cast<std::size_t>(x)] = static_cast<uint16_t>(list.median());
      }
    }
  }

 private:
  std::size_t cell(int col, int row) const {
    return static_cast<std::size_t>(col + r_) +
           static_cast<std::size_t>(w_ + 2 * r_) * static_cast<std::size_t>(row + r_);
  }

  uint16_t pixel(int col, int row) const {
    col = col < 0 ? 0 : (col >= w_ ? w_ - 1 : col);
    row = row < 0 ? 0 : (row >= h_ ? h_ - 1 : row);
    return src_[static_cast<std::size_t>(row) * static_cast<std::size_t>(w_) +
                static_cast<std::size_t>(col)];
  }

  void add(SortedWindow &list, int32_t id, int col, int row) {
    Node &node = nodes_[static_cast<std::size_t>(id)];
    node.value = pixel(col, row);
    node.col = col;
    node.row = row;
    table_[cell(col, row)] = id;
    list.insert(id);
  }

  int32_t take(SortedWindow &list, int col, int row) {
    const int32_t id = table_[cell(col, row)];
    table_[cell(col, row)] = kNil;
    list.remove(id);
    return id;
  }

  const uint16_t *src_;
  int w_, h_, k_, r_;
  std::vector<int32_t> table_;
  std::vector<Node> nodes_;
  std::vector<int32_t> leaving_;  // node ids of the column that leaves
};

}  // namespace

extern "C" TORVI_API void kx_median2d_u16(uint16_t *dst, const uint16_t *src, int width, int height,
                                          int kernel) {
  KX_LOG_NAME("kx_median2d_u16");
  torvi::c_entry_void(__func__, [&] {
    if (kernel == 3) return kx_median2d_u16_k3(dst, src, width, height);
    if (kernel == 5) return kx_median2d_u16_k5(dst, src, width, height);
    if (kernel % 2 == 0 || kernel <= 2 || width <= 0 || height <= 0 ||
        kernel >= 2 * static_cast<int64_t>(width) || kernel >= 2 * static_cast<int64_t>(height)) {
      KX_ERR(" wrong parameter:w/h/kernel=%d/%d/%d\n", width, height, kernel);
      return;
    }
    if (dst == nullptr || src == nullptr || dst == src) {
      KX_ERR(" wrong parameter:dst/src=%p/%p\n", static_cast<void *>(dst),
             static_cast<const void *>(src));
      return;
    }
    MedianGeneral m(src, width, height, kernel);
    if (!m.allocate()) return;
    m.run(dst);
  });
}
